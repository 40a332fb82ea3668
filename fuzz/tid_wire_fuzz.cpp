// Fuzz target for the key-exchange messages a peer sends: any JSON text is either decoded into
// a request or response record or refused with a reason; what decodes must encode again, and
// decoding that encoding must give the same message back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <talloc.h>

#include "tid_int.h"

namespace {

using quelna::tid::Json;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "tid_wire_fuzz: %s\n", what);
        std::abort();
    }
}

template <typename Decode, typename Encode>
void round_trip(json_t *msg, Decode decode, Encode encode)
{
    TALLOC_CTX *mem = talloc_new(nullptr);
    check(mem != nullptr, "talloc_new");
    std::string err;
    if (auto *rec = decode(mem, msg, err)) {
        Json once = encode(rec);
        check(once != nullptr, "a decoded message does not encode");
        auto *again = decode(mem, once.get(), err);
        check(again != nullptr, "an encoded message does not decode");
        Json twice = encode(again);
        check(twice && json_equal(once.get(), twice.get()), "encoding changed in a round trip");
    } else {
        check(!err.empty(), "refused without a reason");
    }
    talloc_free(mem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    json_error_t jerr;
    Json msg(json_loadb(reinterpret_cast<const char *>(data), size, 0, &jerr));
    if (!msg)
        return 0;
    round_trip(msg.get(), quelna::tid::decode_request,
               [](const TID_REQ *req) { return quelna::tid::encode_request(req); });
    round_trip(msg.get(), quelna::tid::decode_response, [](const TID_RESP *resp) {
        std::string err;
        return quelna::tid::encode_response(resp, err);
    });
    return 0;
}
