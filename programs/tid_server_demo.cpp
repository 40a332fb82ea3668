// tid_server_demo: a TID server that answers each authorised request with one server entry
// carrying a freshly derived Diffie-Hellman key, and records the key and the request's
// authorisations in an SQLite database (whose tables it expects to exist).
#include <arpa/inet.h>
#include <openssl/dh.h>
#include <openssl/rand.h>
#include <sqlite3.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "hb_dh.h"
#include "hb_tid.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// Set once at start-up; the statements may be null when they failed to prepare.
sqlite3 *db = nullptr;
sqlite3_stmt *insert_stmt = nullptr;
sqlite3_stmt *authorization_insert = nullptr;
hb_name *gssname = nullptr;

// Rewrites a leading "*" of each match string into SQL's "%" wildcard, in place. A string
// that already holds "%" cannot be told apart from a wildcard and stops the walk.
int sqlify_wildcards(TID_REQ *req, HB_CONSTRAINT_MATCHES strings, size_t count,
                     const char **error)
{
    for (size_t i = 0; i < count; ++i) {
        const char *s = strings[i];
        if (std::strchr(s, '%') != nullptr) {
            *error = talloc_asprintf(req, "Constraint match `%s' is not appropriate for SQL", s);
            return -1;
        }
        if (s[0] == '*') {
            char *copy = talloc_strdup(req, s);
            if (copy == nullptr) {
                *error = "out of memory";
                return -1;
            }
            copy[0] = '%';
            strings[i] = copy;
        }
    }
    return 0;
}

void step_and_reset(sqlite3_stmt *stmt)
{
    if (sqlite3_step(stmt) != SQLITE_DONE)
        hb_log(LOG_CRIT, "sqlite3: failed to write to database");
    sqlite3_reset(stmt);
}

// Writes one authorisation row per (domain, realm) pair; returns -1 when the request fails.
int store_authorizations(TID_REQ *req, const unsigned char *digest, size_t digest_len)
{
    if (req->cons == nullptr) {
        hb_log(LOG_DEBUG, "Request has no constraints, so no authorizations.");
        return 0;
    }
    HB_CONSTRAINT_SET *intersected = hb_constraint_set_intersect(req, req->cons);
    if (intersected == nullptr)
        return -1;
    HB_CONSTRAINT_MATCHES domains = nullptr;
    HB_CONSTRAINT_MATCHES realms = nullptr;
    size_t domain_count = 0;
    size_t realm_count = 0;
    if (hb_constraint_set_get_match_strings(req, intersected, "domain", &domains,
                                            &domain_count) != 0 ||
        hb_constraint_set_get_match_strings(req, intersected, "realm", &realms, &realm_count) !=
            0)
        return -1;
    hb_log(LOG_DEBUG, " %u domain constraint matches and %u realm constraint matches",
           static_cast<unsigned>(domain_count), static_cast<unsigned>(realm_count));
    const char *error = nullptr;
    if (sqlify_wildcards(req, domains, domain_count, &error) != 0) {
        hb_log(LOG_DEBUG, "Processing domain constraints: %s", error);
        return -1;
    }
    if (sqlify_wildcards(req, realms, realm_count, &error) != 0) {
        hb_log(LOG_DEBUG, "Processing realm constraints: %s", error);
        return -1;
    }
    if (authorization_insert == nullptr) {
        hb_log(LOG_DEBUG, " No database, no authorizations inserted");
        return 0;
    }
    const hb_name *coi = req->orig_coi != nullptr ? req->orig_coi : req->comm;
    for (size_t d = 0; d < domain_count; ++d) {
        for (size_t r = 0; r < realm_count; ++r) {
            sqlite3_bind_blob(authorization_insert, 1, digest, static_cast<int>(digest_len),
                              SQLITE_TRANSIENT);
            sqlite3_bind_text(authorization_insert, 2, coi->buf, coi->len, SQLITE_TRANSIENT);
            sqlite3_bind_text(authorization_insert, 3, realms[r], -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(authorization_insert, 4, domains[d], -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(authorization_insert, 5, req->comm->buf, req->comm->len,
                              SQLITE_TRANSIENT);
            step_and_reset(authorization_insert);
        }
    }
    return 0;
}

struct KeyFree {
    void operator()(unsigned char *key) const { std::free(key); }
};

int tids_req_handler(TIDS_INSTANCE *tids, TID_REQ *req, TID_RESP *resp, void * /*cookie*/)
{
    hb_log(LOG_DEBUG, "tids_req_handler: Request received! target_realm = %s, community = %s",
           req->realm->buf, req->comm->buf);
    if (tids != nullptr)
        tids->req_count++;
    if (resp == nullptr) {
        hb_log(LOG_DEBUG, "tids_req_handler: No response structure.");
        return -1;
    }
    TID_SRVR_BLK *blk = talloc_zero(resp, TID_SRVR_BLK);
    resp->servers = blk;
    if (blk == nullptr) {
        hb_log(LOG_CRIT, "tids_req_handler(): malloc failed.");
        return -1;
    }
    resp->num_servers = 1;
    if (req->tidc_dh == nullptr) {
        hb_log(LOG_DEBUG, "tids_req_handler(): No client DH info.");
        return -1;
    }
    if (DH_get0_p(req->tidc_dh) == nullptr || DH_get0_g(req->tidc_dh) == nullptr) {
        hb_log(LOG_DEBUG, "tids_req_handler: NULL dh values.");
        return -1;
    }
    blk->aa_server_dh = hb_create_matching_dh(nullptr, 0, req->tidc_dh);
    if (blk->aa_server_dh == nullptr) {
        hb_log(LOG_DEBUG, "tids_req_handler: Can't create server DH params.");
        return -1;
    }
    if (inet_aton(tids->ipaddr, &blk->aa_server_addr) == 0) {
        hb_log(LOG_DEBUG, "tids_req_handler: inet_aton() failed.");
        return -1;
    }

    char key_id[11] = "key-";
    unsigned char rand_octets[3];
    if (RAND_bytes(rand_octets, sizeof rand_octets) != 1)
        return -1;
    hb_bin_to_hex(rand_octets, sizeof rand_octets, key_id + 4, 8);
    blk->key_name = hb_new_name(key_id);

    unsigned char *key_octets = nullptr;
    const int key_len =
        hb_compute_dh_key(&key_octets, DH_get0_pub_key(req->tidc_dh), blk->aa_server_dh);
    std::unique_ptr<unsigned char, KeyFree> key(key_octets);
    if (key_len < 0) {
        hb_log(LOG_DEBUG, "tids_req_handler: Key computation failed.");
        return -1;
    }
    unsigned char *digest = nullptr;
    size_t digest_len = 0;
    if (hb_dh_pub_hash(req, &digest, &digest_len) != 0) {
        hb_log(LOG_DEBUG, "tids_req_handler: Unable to digest client public key");
        return -1;
    }
    if (store_authorizations(req, digest, digest_len) != 0)
        return -1;

    blk->path = req->path;
    if (req->expiration_interval < 1)
        req->expiration_interval = 1;
    g_get_current_time(&blk->key_expiration);
    // In the width of the time value: minutes times 60 overflow an int for large intervals.
    blk->key_expiration.tv_sec += static_cast<glong>(req->expiration_interval) * 60;

    if (insert_stmt == nullptr)
        return key_len;
    gchar *expiration = g_time_val_to_iso8601(&blk->key_expiration);
    sqlite3_bind_text(insert_stmt, 1, key_id, -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_stmt, 2, key.get(), key_len, SQLITE_TRANSIENT);
    sqlite3_bind_blob(insert_stmt, 3, digest, static_cast<int>(digest_len), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_stmt, 4, expiration, -1, SQLITE_TRANSIENT);
    g_free(expiration);
    step_and_reset(insert_stmt);
    return key_len;
}

int auth_handler(gss_name_t /*client_name*/, hb_name *display_name, void *cookie)
{
    return hb_name_cmp(display_name, static_cast<hb_name *>(cookie));
}

}  // namespace

int main(int argc, char **argv)
{
    talloc_set_log_stderr();
    if (argc != 5) {
        std::printf("Usage: %s <ip-address> <gss-name> <hostname> <database-name>\n", argv[0]);
        std::exit(1);
    }
    hb_log_open();
    hb_log_threshold(LOG_CRIT);
    hb_console_threshold(LOG_DEBUG);

    gssname = hb_new_name(argv[2]);
    const char *ipaddr = argv[1];
    const char *hostname = argv[3];

    if (sqlite3_open(argv[4], &db) != SQLITE_OK) {
        hb_log(LOG_CRIT, "Error opening database %s", argv[4]);
        std::exit(1);
    }
    sqlite3_busy_timeout(db, 1000);
    sqlite3_prepare_v2(db,
                       "insert into psk_keys_tab (keyid, key, client_dh_pub, key_expiration) "
                       "values(?, ?, ?, ?)",
                       -1, &insert_stmt, nullptr);
    sqlite3_prepare_v2(db,
                       "insert into authorizations (client_dh_pub, coi, acceptor_realm, "
                       "hostname, apc) values(?, ?, ?, ?, ?)",
                       -1, &authorization_insert, nullptr);

    TIDS_INSTANCE *tids = tids_create();
    if (tids == nullptr) {
        hb_log(LOG_CRIT, "Unable to create TIDS instance, exiting.");
        return 1;
    }
    tids->ipaddr = ipaddr;
    const int rc =
        tids_start(tids, &tids_req_handler, &auth_handler, hostname, HB_TID_PORT, gssname);
    hb_log(LOG_CRIT, "Error in tids_start(), rc = %d. Exiting.", rc);
    tids_destroy(tids);
    return 1;
}

#pragma GCC diagnostic pop
