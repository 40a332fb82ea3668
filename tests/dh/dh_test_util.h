// Helpers shared by the key module's tests.
#pragma once

#include <openssl/bn.h>
#include <openssl/dh.h>

#include <memory>
#include <vector>

#include "hb_dh.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace dhtest {

struct RecordFree {
    void operator()(DH *dh) const { hb_destroy_dh_params(dh); }
};
using Record = std::unique_ptr<DH, RecordFree>;

struct BnFree {
    void operator()(BIGNUM *bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

inline Bn bn_from(const std::vector<unsigned char> &octets)
{
    return Bn(BN_bin2bn(octets.data(), static_cast<int>(octets.size()), nullptr));
}

inline const BIGNUM *pub_of(const DH *dh)
{
    return DH_get0_pub_key(dh);
}
inline const BIGNUM *priv_of(const DH *dh)
{
    return DH_get0_priv_key(dh);
}
inline const BIGNUM *p_of(const DH *dh)
{
    return DH_get0_p(dh);
}

}  // namespace dhtest

#pragma GCC diagnostic pop
