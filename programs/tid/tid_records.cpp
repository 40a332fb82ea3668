// The request and response records: talloc objects whose destructors release the names, DH
// records and JSON they hold.
#include <openssl/dh.h>

#include "hb_dh.h"
#include "tid_int.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

int req_destructor(TID_REQ *req)
{
    hb_free_name(req->rp_realm);
    hb_free_name(req->realm);
    hb_free_name(req->comm);
    hb_free_name(req->orig_coi);
    hb_destroy_dh_params(req->tidc_dh);
    return 0;
}

// Runs before the response's children (the server blocks) are freed.
int resp_destructor(TID_RESP *resp)
{
    hb_free_name(resp->err_msg);
    hb_free_name(resp->rp_realm);
    hb_free_name(resp->realm);
    hb_free_name(resp->comm);
    hb_free_name(resp->orig_coi);
    if (resp->servers != nullptr) {
        // A handler may have set the count before filling the blocks; never read past them.
        const size_t blocks = talloc_get_size(resp->servers) / sizeof(TID_SRVR_BLK);
        for (size_t i = 0; i < blocks && i < resp->num_servers; ++i) {
            hb_free_name(resp->servers[i].key_name);
            hb_destroy_dh_params(resp->servers[i].aa_server_dh);
        }
    }
    return 0;
}

struct JsonHolder {
    json_t *json;
};

int holder_destructor(JsonHolder *holder)
{
    json_decref(holder->json);
    return 0;
}

}  // namespace

namespace quelna::tid {

bool keep_json(TALLOC_CTX *owner, json_t *json)
{
    auto *holder = talloc(owner, JsonHolder);
    if (holder == nullptr)
        return false;
    holder->json = json_incref(json);
    talloc_set_destructor(holder, holder_destructor);
    return true;
}

GssContext::~GssContext()
{
    OM_uint32 minor = 0;
    if (ctx != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
}

GssName::~GssName()
{
    OM_uint32 minor = 0;
    if (name != GSS_C_NO_NAME)
        gss_release_name(&minor, &name);
}

std::string gss_error_text(OM_uint32 major, OM_uint32 minor)
{
    std::string text;
    auto append = [&text](OM_uint32 code, int type) {
        OM_uint32 context = 0;
        do {
            OM_uint32 ignored = 0;
            gss_buffer_desc msg = GSS_C_EMPTY_BUFFER;
            if (gss_display_status(&ignored, code, type, GSS_C_NO_OID, &context, &msg) !=
                GSS_S_COMPLETE)
                return;
            if (!text.empty())
                text += ": ";
            text.append(static_cast<const char *>(msg.value), msg.length);
            gss_release_buffer(&ignored, &msg);
        } while (context != 0);
    };
    append(major, GSS_C_GSS_CODE);
    if (minor != 0)
        append(minor, GSS_C_MECH_CODE);
    return text;
}

bool import_service_name(std::string_view service_at_host, GssName &out)
{
    OM_uint32 minor = 0;
    gss_buffer_desc text{service_at_host.size(), const_cast<char *>(service_at_host.data())};
    return gss_import_name(&minor, &text, GSS_C_NT_HOSTBASED_SERVICE, &out.name) ==
           GSS_S_COMPLETE;
}

}  // namespace quelna::tid

extern "C" {

TID_REQ *tid_req_new(TALLOC_CTX *mem)
{
    TID_REQ *req = talloc_zero(mem, TID_REQ);
    if (req != nullptr)
        talloc_set_destructor(req, req_destructor);
    return req;
}

void tid_req_free(TID_REQ *req)
{
    talloc_free(req);
}

TID_RESP *tid_resp_new(TALLOC_CTX *mem)
{
    TID_RESP *resp = talloc_zero(mem, TID_RESP);
    if (resp != nullptr)
        talloc_set_destructor(resp, resp_destructor);
    return resp;
}

}  // extern "C"

#pragma GCC diagnostic pop
