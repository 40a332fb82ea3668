/*
 * Diffie-Hellman key module of the key-exchange programs.
 *
 * Every record uses the 2048-bit MODP group of RFC 3526 (group 14, generator 2), or the group
 * of the record it was matched to. The interface is plain C so that C and C++ programs alike
 * can call it.
 */
#ifndef QUELNA_PROGRAMS_HB_DH_H
#define QUELNA_PROGRAMS_HB_DH_H

#include <openssl/types.h>
#include <stddef.h>

#if defined(__GNUC__)
#define HB_DH_EXPORT __attribute__((visibility("default")))
#else
#define HB_DH_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Size in octets of the group's prime, and so the largest key hb_compute_dh_key returns. */
#define HB_DH_PRIME_LEN 256

/**
 * Creates a parameter record in RFC 3526 group 14 (p, g = 2, q = (p-1)/2) with a fresh key
 * pair.
 *
 * When `priv_key` is non-null and `keylen` non-zero, the `keylen` big-endian octets become the
 * private value; otherwise OpenSSL draws one. A supplied value must lie in 1..q-1: any other
 * (zero, for instance, whose public value would be 1) is refused with a message on standard
 * error.
 *
 * Writes the parameter check report to standard error when OpenSSL's check finds a problem.
 * Returns the record, owned by the caller (release it with hb_destroy_dh_params), or null.
 */
HB_DH_EXPORT DH *hb_create_dh_params(const unsigned char *priv_key, size_t keylen);

/**
 * Creates a record in the same group as `in_dh` (copies of its p and g) with a fresh key pair;
 * the private value is optional as for hb_create_dh_params. A null `in_dh` yields null with no
 * message; other failures are reported on standard error. The record belongs to the caller.
 */
HB_DH_EXPORT DH *hb_create_matching_dh(const unsigned char *priv_key, size_t keylen,
                                       const DH *in_dh);

/** Releases a record from either create operation; null does nothing. */
HB_DH_EXPORT void hb_destroy_dh_params(DH *dh);

/**
 * Derives the shared secret of `priv_dh`'s private value and the peer's public value
 * `pub_key` (in practice the other record's public value).
 *
 * On success `*pbuf` receives a buffer from malloc (the caller releases it with free) holding
 * the secret without its leading zero octets, and the result is its length (1..DH_size). On
 * failure the result is -1 and `*pbuf` is null; when any argument is null the message goes to
 * standard error and `*pbuf` is not touched.
 */
HB_DH_EXPORT int hb_compute_dh_key(unsigned char **pbuf, const BIGNUM *pub_key, DH *priv_dh);

#ifdef __cplusplus
}
#endif

#endif /* QUELNA_PROGRAMS_HB_DH_H */
