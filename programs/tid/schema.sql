-- Tables the TID server demonstration writes into. It only inserts; create them first:
--   sqlite3 keys.db < schema.sql
CREATE TABLE IF NOT EXISTS psk_keys_tab (
    keyid TEXT,
    key BLOB,
    client_dh_pub BLOB,
    key_expiration TEXT
);
CREATE TABLE IF NOT EXISTS authorizations (
    client_dh_pub BLOB,
    coi TEXT,
    acceptor_realm TEXT,
    hostname TEXT,
    apc TEXT
);
