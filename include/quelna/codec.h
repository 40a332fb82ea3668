/*
 * libquelna RADIUS codec: dictionary, value pairs, attribute and packet encoding and decoding,
 * password hiding, message authentication, text forms and server packet identifiers.
 *
 * Conventions of this interface:
 *  - The codec does no I/O and knows no connection: octets and value pairs in, octets and
 *    value pairs out.
 *  - Failures are returned as NEGATED QNE_* codes (for example -QNE_INVAL); many operations also
 *    format a message with lr_strerror_printf(), which keeps it in a per-thread buffer (read it
 *    with lr_strerror()) and prints it to standard error as "ERROR: <message>" unless the
 *    echo is turned off (lr_strerror_echo(0)).
 *  - Nothing here takes a lock. A packet, a pair list or a server record is used by one thread
 *    at a time; separate threads may use separate objects.
 */
#ifndef QUELNA_CODEC_H
#define QUELNA_CODEC_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <quelna/quelna.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------- */
/* Constants                                                                                 */
/* ---------------------------------------------------------------------------------------- */

/** Octets of a packet's authenticator and of one MD5 digest. */
#define LR_AUTH_VECTOR_LENGTH 16
/** Octets of a value pair's inline value area. */
#define LR_VALUE_SIZE 256
/** Most value octets a pair (and a standard attribute) holds. */
#define LR_MAX_VALUE_LENGTH 253
/** Octets of the name buffer inside a raw pair. */
#define LR_RAW_NAME_SIZE 64
/** Octets of the codec's message buffer (one per thread), terminator included. */
#define LR_STRERROR_SIZE 1024
/** Highest vendor number a Vendor-Specific attribute can carry (2^24). */
#define LR_MAX_VENDOR 16777216u

/** Hiding methods of a dictionary descriptor (lr_dict_attr.encrypt). */
#define LR_ENCRYPT_NONE 0
#define LR_ENCRYPT_USER_PASSWORD 1   /* RFC 2865 section 5.2 */
#define LR_ENCRYPT_TUNNEL_PASSWORD 2 /* RFC 2868 section 3.5 */

/** Bits of lr_dict_attr.flags. */
#define LR_DICT_FLAG_HAS_TAG 0x01 /* the attribute carries an RFC 2868 tag */
#define LR_DICT_FLAG_UNKNOWN 0x02 /* descriptor synthesised for an unknown attribute */

/** Progress flags of lr_packet.flags; each is set once and never cleared. */
#define LR_PACKET_ENCODED 0x01
#define LR_PACKET_HEADER 0x02
#define LR_PACKET_SIGNED 0x04
#define LR_PACKET_OK 0x08
#define LR_PACKET_VERIFIED 0x10
#define LR_PACKET_DECODED 0x20

/** Highest packet code with an entry in lr_packet_codes. */
#define LR_MAX_PACKET_CODE 45
/** Most attributes lr_packet_decode accepts in one packet. */
#define LR_MAX_ATTRIBUTES 200
/** Octets of the buffer behind each packet from lr_server_packet_alloc. */
#define LR_SERVER_PACKET_SIZE 4096
/** Number of identifier slots of a server record. */
#define LR_SERVER_IDS 256

/* ---------------------------------------------------------------------------------------- */
/* Value types and dictionary records                                                        */
/* ---------------------------------------------------------------------------------------- */

/* The value types (qn_attr_type) are declared in <quelna/quelna.h>, with the public pairs. */

/** The descriptor of one attribute (a dictionary entry). */
typedef struct lr_dict_attr {
    uint32_t attr;     /**< 1..255 standard; within the vendor for a vendor-specific one */
    qn_attr_type type; /**< value type */
    uint32_t vendor;   /**< SMI private enterprise number; 0 for a standard attribute */
    uint8_t flags;     /**< LR_DICT_FLAG_* bits; other bits zero */
    uint8_t encrypt;   /**< LR_ENCRYPT_* hiding method */
    uint8_t length;    /**< fixed value length in octets; 0 means variable */
    const char *name;  /**< attribute name; null marks an empty table slot */
} lr_dict_attr;

/** One vendor of the dictionary and the format of its sub-attributes. */
typedef struct lr_dict_vendor {
    uint32_t vendor;  /**< vendor number */
    size_t type;      /**< octets of a sub-attribute's type field: 1, 2 or 4 */
    size_t length;    /**< octets of its length field: 0 (runs to the end), 1 or 2 */
    const char *name; /**< vendor name; null ends the vendor table */
} lr_dict_vendor;

/** A named integer value record: none is ever produced (see lr_dict_value_name). */
typedef struct lr_dict_value lr_dict_value;

/**
 * One attribute with its value. A pair is one heap block (malloc), zero-filled at creation;
 * a list is a chain through next, owned by whoever holds the head (release: lr_vp_free).
 */
typedef struct lr_value_pair {
    const lr_dict_attr *da;        /**< descriptor; never null in a live pair */
    size_t length;                 /**< value octets (a string without its terminator) */
    int32_t tag;                   /**< RFC 2868 tag: 0..31 are tags, 0 by default */
    struct lr_value_pair *next;    /**< next pair of the list, or null */
    uint8_t value[LR_VALUE_SIZE];  /**< stored form (see qn_attr_type); at most 253 used */
} lr_value_pair;

/* Its public name, qn_avp, is declared in <quelna/quelna.h>. */

/* ---------------------------------------------------------------------------------------- */
/* Packets and servers                                                                       */
/* ---------------------------------------------------------------------------------------- */

/** A codec packet: header fields, progress flags, octet buffer (not owned) and pair list. */
typedef struct lr_packet {
    int sockfd;                  /**< socket of the packet; -1 after its id is released */
    struct sockaddr_storage src; /**< source address */
    struct sockaddr_storage dst; /**< destination address */
    const char *secret;          /**< shared secret (not owned; must outlive the packet) */
    size_t secret_len;           /**< strlen of secret, 0 without one */
    unsigned int code;           /**< RADIUS packet code */
    int id;                      /**< identifier 0..255 */
    size_t length;               /**< octets of data in use */
    uint8_t vector[LR_AUTH_VECTOR_LENGTH]; /**< the packet's authenticator */
    int flags;                   /**< LR_PACKET_* progress flags */
    int attempts;                /**< 0 after init and whenever the packet is signed */
    uint8_t *data;               /**< octet buffer (not owned) */
    size_t data_size;            /**< capacity of data */
    lr_value_pair *vps;          /**< pair list, owned by the packet's owner */
} lr_packet;

/** A server and the table of identifiers in use towards it. */
typedef struct lr_server {
    int sockfd;                  /**< socket, -1 when there is none */
    int code;                    /**< code given to every packet that gets an id here */
    struct sockaddr_storage src; /**< local address, copied into each packet */
    struct sockaddr_storage dst; /**< server address, copied into each packet */
    const char *secret;          /**< shared secret (not owned) */
    size_t secret_len;           /**< its strlen */
    int num_outgoing;            /**< identifiers in use */
    lr_packet *ids[LR_SERVER_IDS]; /**< slot i: the packet with identifier i, or null */
} lr_server;

/**
 * Called by lr_packet_walk for every attribute and vendor sub-attribute. da is valid only
 * during the call for an attribute the dictionary does not know. A negative result stops the
 * walk and becomes its result.
 */
typedef int (*lr_walk_func)(void *ctx, const lr_dict_attr *da, const uint8_t *data,
                            size_t data_len);

/* ---------------------------------------------------------------------------------------- */
/* Dictionary tables (generated at build time)                                               */
/* ---------------------------------------------------------------------------------------- */

/**
 * Entries 0..255: standard attributes indexed by number (a null name: no such attribute).
 * Entries 256..lr_dict_num_attrs: vendor-specific attributes sorted by (vendor, attr).
 */
QN_EXPORT extern const lr_dict_attr lr_dict_attrs[];
/** Index of the last entry of lr_dict_attrs (not the count). */
QN_EXPORT extern const int32_t lr_dict_num_attrs;
/** Positions 1..lr_dict_num_names: every named entry, sorted by strcasecmp of the name. */
QN_EXPORT extern const lr_dict_attr *const lr_dict_attr_names[];
/** Last used position of lr_dict_attr_names. */
QN_EXPORT extern const int32_t lr_dict_num_names;
/** The vendors, in any order, ended by an entry with a null name. */
QN_EXPORT extern const lr_dict_vendor lr_dict_vendors[];

/* ---------------------------------------------------------------------------------------- */
/* Dictionary lookups (results point into constant tables or into the dictionaries loaded    */
/* with lr_dict_load, which stay until lr_dict_unload_all; never free them)                  */
/* ---------------------------------------------------------------------------------------- */

/** The descriptor of attribute attr of vendor (0: standard), or NULL when none. */
QN_EXPORT const lr_dict_attr *lr_dict_attr_byvalue(unsigned int attr, unsigned int vendor);

/** The descriptor called name (case ignored), or NULL (also for a NULL or empty name). */
QN_EXPORT const lr_dict_attr *lr_dict_attr_byname(const char *name);

/**
 * Fills *da with a synthesised descriptor for an attribute the dictionary does not know: type
 * octets, flags LR_DICT_FLAG_UNKNOWN, name "Attr-%u" (vendor 0) or "Attr-26.%u.%u" (vendor,
 * attr) formatted into buffer (cut to bufsize) and pointed to by da->name.
 * Returns 0; -QNE_INVAL for a NULL da or buffer, vendor above 2^24, or vendor 0 with attr
 * above 256.
 */
QN_EXPORT int lr_dict_attr_2struct(lr_dict_attr *da, unsigned int attr, unsigned int vendor,
                                   char *buffer, size_t bufsize);

/** The number of the vendor called name (case ignored), or 0 (also for NULL or ""). */
QN_EXPORT unsigned int lr_dict_vendor_byname(const char *name);

/** The vendor entry with number vendor, or NULL. */
QN_EXPORT const lr_dict_vendor *lr_dict_vendor_byvalue(unsigned int vendor);

/** Always NULL: no lr_dict_value record exists (named values: lr_dict_value_name below). */
QN_EXPORT const lr_dict_value *lr_dict_value_byattr(unsigned int attr, unsigned int vendor,
                                                    int value);

/** Always NULL: no lr_dict_value record exists (named values: lr_dict_value_find below). */
QN_EXPORT const lr_dict_value *lr_dict_value_byname(unsigned int attr, unsigned int vendor,
                                                    const char *name);

/**
 * The name of value of attribute attr of vendor (0: standard), or NULL when it has none: the
 * latest name a loaded file gives it, else the built-in one ("Framed-User" for Service-Type 2).
 * Thread-safe. Pairs' text forms (lr_vp_snprintf, ...) do not use names; this is for programs
 * that print them.
 */
QN_EXPORT const char *lr_dict_value_name(unsigned int attr, unsigned int vendor, uint32_t value);

/**
 * Stores in *value the number of the value called name (case ignored) of attribute attr of
 * vendor. Returns 0; -QNE_ATTR_VALUE_MALFORMED when the attribute has no value of that name;
 * -QNE_INVAL for a NULL name or value. No message. Thread-safe.
 */
QN_EXPORT int lr_dict_value_find(unsigned int attr, unsigned int vendor, const char *name,
                                 uint32_t *value);

/* ---------------------------------------------------------------------------------------- */
/* Dictionaries loaded at run time                                                           */
/* ---------------------------------------------------------------------------------------- */

/** What the loaded dictionaries hold, summed over every successful lr_dict_load. */
typedef struct lr_dict_counts {
    size_t attributes;         /**< attribute names added (new attributes and second names) */
    size_t vendors;            /**< vendor names added */
    size_t values;             /**< value names added */
    size_t as_octets;          /**< attributes of a type the codec lacks, kept as octets */
    size_t skipped_attributes; /**< attributes the codec cannot represent, left out */
    size_t skipped_values;     /**< VALUE lines left out with their attribute or type */
    size_t skipped_lines;      /**< lines of keywords without use here (BEGIN-TLV, ...) */
    size_t ignored_flags;      /**< attribute flags without meaning here (array, concat, ...) */
    size_t builtin_kept;       /**< built-in attributes a file gives another tag or hiding:
                                    the built-in definition stays */
} lr_dict_counts;

/**
 * Loads a dictionary file in the FreeRADIUS text format with every file it includes
 * ($INCLUDE, relative to the including file), on top of the built-in dictionary and of the files
 * loaded before. Its attributes, vendors and values then work wherever names and numbers do:
 * the lookups above, the text forms, encoding and decoding.
 *
 * Types the codec has keep their type; others (integer64, tlv, ether, ...) are kept as octets.
 * What the codec cannot represent is left out and counted (lr_dict_load_counts): attributes
 * with dotted numbers or inside TLV blocks, standard numbers above 255, extended vendor blocks,
 * vendors with a continuation octet, hiding methods other than encrypt=1 and 2.
 *
 * Conflicts are errors: a name defined again with another vendor, number or type (the built-in
 * names included), or a loaded name with another tag or hiding (a built-in attribute keeps its
 * own, counted); a vendor name with another number or format; a VALUE name given another
 * number. A number may have several names: for a built-in number the built-in
 * descriptor stays the one received attributes decode to; a loaded number decodes to its latest
 * definition. The same definition again is fine.
 *
 * Process-wide. Call it before connections and packets are used (several loads are serialised
 * among themselves): the entries are published at once when the whole load succeeded, and they
 * never change afterwards, so any number of threads may then look up at the same time. On
 * error nothing of the file is kept and the dictionary loaded before stays as it was.
 * Returns 0; -QNE_INVAL for a NULL or empty path; -QNE_CONFIG with the message
 * "FILE:LINE: message" (a file that cannot be opened, an unknown keyword, a malformed line, a
 * line over 4096 characters, a control character, a conflict, a VALUE of an unknown attribute);
 * -QNE_NOMEM.
 */
QN_EXPORT int lr_dict_load(const char *path);

/** Fills *counts with what the loaded dictionaries hold (all zero before any load). */
QN_EXPORT void lr_dict_load_counts(lr_dict_counts *counts);

/**
 * Forgets every loaded dictionary and frees its memory. NOT thread-safe: no other thread may
 * look anything up meanwhile, and no value pair of a loaded attribute may remain.
 */
QN_EXPORT void lr_dict_unload_all(void);

/* ---------------------------------------------------------------------------------------- */
/* Value pairs                                                                               */
/* ---------------------------------------------------------------------------------------- */

/**
 * Prepares caller-provided storage as a pair: zero-fills it, sets da, and length to the
 * descriptor's fixed length. Returns vp.
 */
QN_EXPORT lr_value_pair *lr_vp_init(lr_value_pair *vp, const lr_dict_attr *da);

/**
 * A new initialised pair for da, owned by the caller (release with lr_vp_free).
 * NULL with "Unknown attribute" for a NULL da, or with "Out of memory".
 */
QN_EXPORT lr_value_pair *lr_vp_alloc(const lr_dict_attr *da);

/**
 * A new raw pair for an attribute the dictionary does not know: one block holding the pair,
 * its own descriptor (type octets, unknown flag) and the descriptor's name; length 0.
 * NULL with "Out of memory", or without a message when lr_dict_attr_2struct refuses the numbers.
 */
QN_EXPORT lr_value_pair *lr_vp_alloc_raw(unsigned int attr, unsigned int vendor);

/**
 * Stores a value given in its stored form (numbers in host order, addresses in network order).
 * String and octets take len octets, cut to 253 (a string is kept zero-terminated); the
 * fixed-size types need len to be their size (integer, ipaddr, date 4, ifid 8, byte 1, short 2).
 * Returns 1 (stored whole), 0 (cut to 253 octets), -QNE_INVAL (NULL vp or data, len 0),
 * -QNE_ATTR_VALUE_MALFORMED (a fixed-size type with another len) or -QNE_ATTR_TYPE_UNKNOWN
 * (type without a stored form here: none, ipv6addr, ipv6prefix, unknown). A failure leaves the
 * pair unchanged.
 */
QN_EXPORT int lr_vp_set_data(lr_value_pair *vp, const void *data, size_t len);

/** A new pair of a dictionary attribute holding data; NULL when unknown or storing fails. */
QN_EXPORT lr_value_pair *lr_vp_create(unsigned int attr, unsigned int vendor, const void *data,
                                      size_t len);

/** Links vp (with whatever chain follows it) after the last pair of *head; NULL vp: nothing. */
QN_EXPORT void lr_vps_append(lr_value_pair **head, lr_value_pair *vp);

/** The first pair from head on whose descriptor has attr and vendor, or NULL. */
QN_EXPORT lr_value_pair *lr_vps_find(const lr_value_pair *head, unsigned int attr,
                                     unsigned int vendor);

/**
 * Releases every pair of the list *head (pairs of hidden attributes are wiped first) and sets
 * *head to NULL.
 */
QN_EXPORT void lr_vp_free(lr_value_pair **head);

/* ---------------------------------------------------------------------------------------- */
/* Messages, randomness, time                                                                */
/* ---------------------------------------------------------------------------------------- */

/**
 * Formats a codec message into the calling thread's message buffer (cut to 1023 characters)
 * and writes "ERROR: <message>\n" to standard error.
 */
QN_EXPORT void lr_strerror_printf(const char *fmt, ...) QN_PRINTF(1, 2);

/**
 * Turns the standard-error echo of lr_strerror_printf() on (on != 0, the default) or off, for
 * the whole process; the messages are kept for lr_strerror() either way. Returns the previous
 * setting (1 or 0). Programs that handle bad input from the network turn it off.
 */
QN_EXPORT int lr_strerror_echo(int on);

/** The calling thread's most recent codec message ("" before the first). */
QN_EXPORT const char *lr_strerror(void);

/**
 * Fills buf with n unpredictable octets. Returns n; 0 (with "Error opening randomness: %s")
 * when no random source at all can be used; -1 when reading fails. Thread-safe.
 */
QN_EXPORT ssize_t lr_rand_bytes(uint8_t *buf, size_t n);

/** An unpredictable 32-bit number. Thread-safe. */
QN_EXPORT uint32_t lr_rand(void);

/** Adds seconds and usec to *tv, keeping tv_usec below 1000000 (tv_usec must be already). */
QN_EXPORT void lr_timeval_add(struct timeval *tv, uint32_t seconds, uint32_t usec);

/** 1 if a is later than b, -1 if earlier, 0 if equal. */
QN_EXPORT int lr_timeval_cmp(const struct timeval *a, const struct timeval *b);

/* ---------------------------------------------------------------------------------------- */
/* Password hiding and message authentication (reentrant, no allocation, no messages)        */
/* ---------------------------------------------------------------------------------------- */

/**
 * RFC 2865 section 5.2 User-Password hiding of in (1..128 octets) into out, zero-padded to a
 * multiple of 16. Returns the hidden length; -QNE_INVAL (NULL argument, outlen below 16,
 * inlen 0) or -QNE_ATTR_OVERFLOW (inlen above 128, or the padded length above outlen).
 * Nothing is written on failure.
 */
QN_EXPORT ssize_t lr_password_encrypt(uint8_t *out, size_t outlen, const uint8_t *in,
                                      size_t inlen, const char *secret, const uint8_t *vector);

/**
 * RFC 2868 section 3.5 Tunnel-Password hiding: writes a fresh salt (first octet with bit 0x80
 * set) and the hidden (length octet, in, padding) blocks; in is 1..239 octets. Returns the
 * salt plus hidden length; -QNE_INVAL (NULL argument, outlen below 18, inlen 0) or
 * -QNE_ATTR_OVERFLOW (inlen above 239 or the result larger than outlen).
 */
QN_EXPORT ssize_t lr_tunnelpw_encrypt(uint8_t *out, size_t outlen, const uint8_t *in,
                                      size_t inlen, const char *secret, const uint8_t *vector);

/**
 * Reveals an RFC 2868 Tunnel-Password value (salt and hidden blocks, after the tag octet)
 * into out as text followed by a zero octet. Never reads past in nor writes past out, also
 * for lengths that are not whole blocks. Returns the text length (0 for inputs of 2 or 3
 * octets); -QNE_INVAL (NULL argument, outlen 0, inlen below 2), -QNE_ATTR_OVERFLOW (out too
 * small) or -QNE_ATTR_TOO_LARGE (the revealed length does not fit the input).
 */
QN_EXPORT ssize_t lr_tunnelpw_decrypt(uint8_t *out, size_t outlen, const uint8_t *in,
                                      size_t inlen, const char *secret, const uint8_t *vector);

/**
 * RFC 2104 HMAC-MD5 of text under key into the 16-octet digest. Checks nothing. digest may
 * lie inside text: text is read completely before digest is written.
 */
QN_EXPORT void lr_hmac_md5(const uint8_t *text, size_t text_len, const uint8_t *key,
                           size_t key_len, uint8_t *digest);

/**
 * Each thread keeps the last key given to lr_hmac_md5() (and state made from it) to sign the
 * next packet faster; this wipes the calling thread's copy. The library calls it when it
 * releases a server's secret; a thread's copy is also wiped when the thread ends.
 */
QN_EXPORT void lr_hmac_forget(void);

/* ---------------------------------------------------------------------------------------- */
/* Attribute encoding                                                                        */
/* ---------------------------------------------------------------------------------------- */

/*
 * Encoder results: positive = octets of the complete attribute written at start; 0 = the pair
 * was skipped and nothing counts (no room, or an empty value that is not sent); negative =
 * a negated QNE_* code. On a result >= 0 *pvp has moved to the pair's next. room is the number
 * of octets from start to the end of the buffer; nothing is written beyond it. original is the
 * request a response answers, or NULL.
 */

/** Encodes the pair at *pvp (standard, vendor-specific, CHAP-Password, Message-Authenticator). */
QN_EXPORT ssize_t lr_vp2attr(const lr_packet *packet, const lr_packet *original,
                             const lr_value_pair **pvp, uint8_t *start, size_t room);

/** Encodes a standard pair; -QNE_INVAL for a vendor-specific one or attribute 0 or above 255. */
QN_EXPORT ssize_t lr_vp2rfc(const lr_packet *packet, const lr_packet *original,
                            const lr_value_pair **pvp, uint8_t *start, size_t room);

/** Encodes a vendor-specific pair as one Vendor-Specific attribute in its vendor's format. */
QN_EXPORT ssize_t lr_vp2vsa(const lr_packet *packet, const lr_packet *original,
                            const lr_value_pair **pvp, uint8_t *start, size_t room);

/* ---------------------------------------------------------------------------------------- */
/* Attribute decoding                                                                        */
/* ---------------------------------------------------------------------------------------- */

/*
 * Decoders: data points at an attribute's Type octet, length is the octets available from
 * there. On success *pvp holds a new pair owned by the caller, or NULL when the attribute
 * gives none; on failure it holds no pair. Results: not negative on success, else a negated
 * code (-QNE_PACKET_TOO_SMALL, -QNE_ATTR_TOO_SMALL, -QNE_ATTR_OVERFLOW, ...).
 */

/** Decodes one attribute (a Vendor-Specific one as lr_attr2vp_vsa); returns its Length octet. */
QN_EXPORT ssize_t lr_attr2vp(const lr_packet *packet, const lr_packet *original,
                             const uint8_t *data, size_t length, lr_value_pair **pvp);

/** Decodes one attribute as a standard attribute; returns its Length octet. */
QN_EXPORT ssize_t lr_attr2vp_rfc(const lr_packet *packet, const lr_packet *original,
                                 const uint8_t *data, size_t length, lr_value_pair **pvp);

/**
 * Decodes a Vendor-Specific attribute (type 26); returns its Length octet. For a vendor the
 * dictionary knows, *pvp heads a chain (through next) of one pair per sub-attribute, in order
 * (RFC 2865 §5.26 allows several); an unknown vendor's attribute is one pair of its octets.
 */
QN_EXPORT ssize_t lr_attr2vp_vsa(const lr_packet *packet, const lr_packet *original,
                                 const uint8_t *data, size_t length, lr_value_pair **pvp);

/** Decodes one attribute into a raw pair holding the octets as received; returns Length - 2. */
QN_EXPORT ssize_t lr_attr2vp_raw(const lr_packet *packet, const lr_packet *original,
                                 const uint8_t *data, size_t length, lr_value_pair **pvp);

/**
 * Checks a run of vendor sub-attributes with a dv_type-octet type field (1, 2 or 4) and a
 * dv_length-octet length field (0, 1 or 2). 0 when well formed, else negative.
 */
QN_EXPORT int lr_tlv_ok(const uint8_t *data, size_t length, size_t dv_type, size_t dv_length);

/**
 * Finds the next attribute (attr, vendor) after offset start in packet's encoded octets,
 * storing its value in *pdata and *plength. Returns its offset from the packet start (20 or
 * more), 0 when not found, or a negated code. A vendor attribute is found at any position of
 * a Vendor-Specific attribute (the first when it occurs twice in one); the offset returned is
 * the Vendor-Specific attribute's. Only vendors with 1-octet type and length fields are
 * searched (-QNE_VENDOR_UNKNOWN for a known vendor of another format).
 */
QN_EXPORT ssize_t lr_attr2data(const lr_packet *packet, ssize_t start, unsigned int attr,
                               unsigned int vendor, const uint8_t **pdata, size_t *plength);

/* ---------------------------------------------------------------------------------------- */
/* Packets                                                                                   */
/* ---------------------------------------------------------------------------------------- */

/** Packet code names indexed by code 0..LR_MAX_PACKET_CODE; "" for codes without a name. */
QN_EXPORT extern const char *const lr_packet_codes[LR_MAX_PACKET_CODE + 1];

/**
 * Sets packet up over the caller's buffer data (size octets, not owned) for code and writes
 * the header (a random authenticator for Access-Request and Status-Server). secret may be
 * NULL. Returns 0 or a negated code.
 */
QN_EXPORT int lr_packet_init(lr_packet *packet, const lr_packet *original, const char *secret,
                             int code, void *data, size_t size);

/**
 * Writes the pair list as attributes after the header. An Access-Request or Status-Server gets
 * a Message-Authenticator placeholder as its first attribute when the buffer has room for it
 * (a Message-Authenticator pair in its list is not written again); other codes carry one where
 * their list has it. Returns the encoded length (0 when already encoded) or a negated code.
 */
QN_EXPORT int lr_packet_encode(lr_packet *packet, const lr_packet *original);

/**
 * Computes the Message-Authenticator and the authenticator. An Access-Request or Status-Server
 * without a Message-Authenticator (its attributes appended raw) gets one first, room allowing.
 * Returns 0 or a negated code.
 */
QN_EXPORT int lr_packet_sign(lr_packet *packet, const lr_packet *original);

/** Structural check of received octets (header and attributes). 0 or a negated code. */
QN_EXPORT int lr_packet_ok_raw(const void *data, size_t size);

/** Structural check of a received packet; sets LR_PACKET_OK. 0 or a negated code. */
QN_EXPORT int lr_packet_ok(lr_packet *packet);

/**
 * Checks a received packet against the request it answers: identifier, code, source,
 * Message-Authenticator and authenticator. 0 or a negated code.
 */
QN_EXPORT int lr_packet_verify(lr_packet *packet, const lr_packet *original);

/**
 * Decodes the attributes of a checked packet into packet->vps (owned by the packet's owner).
 * 0 or a negated code (then vps is empty).
 */
QN_EXPORT int lr_packet_decode(lr_packet *packet, const lr_packet *original);

/** Calls callback for every attribute and vendor sub-attribute. 0, or its negative result. */
QN_EXPORT int lr_packet_walk(lr_packet *packet, void *ctx, lr_walk_func callback);

/**
 * Appends one attribute given as raw octets to a packet without a pair list (len 0 with a
 * string descriptor: strlen of data). Returns the octets appended (0 when split into
 * EAP-Message attributes or nothing was written) or a negated code.
 */
QN_EXPORT int lr_packet_attr_append(lr_packet *packet, const lr_packet *original,
                                    const lr_dict_attr *da, const void *data, size_t len);

/* ---------------------------------------------------------------------------------------- */
/* Text forms and packet dump                                                                */
/* ---------------------------------------------------------------------------------------- */

/**
 * Renders the pair's value as text into out (size octets). Returns the characters written,
 * 0 when the text does not fit or the type has no text form.
 */
QN_EXPORT size_t lr_vp_snprintf_value(char *out, size_t size, const lr_value_pair *vp);

/** Renders "name = value". Returns the characters written, 0 when it does not fit. */
QN_EXPORT size_t lr_vp_snprintf(char *out, size_t size, const lr_value_pair *vp);

/** Writes "\t<name = value>\n" to fp for every pair of the list. */
QN_EXPORT void lr_vp_fprintf_list(FILE *fp, const lr_value_pair *vp);

/** Parses value text into vp (string, integer, ipaddr, date). Characters used, or negative. */
QN_EXPORT int lr_vp_sscanf_value(lr_value_pair *vp, const char *value);

/** Parses "name = value" into a new pair stored in *pvp. 0 or a negated code. */
QN_EXPORT int lr_vp_sscanf(const char *string, lr_value_pair **pvp);

/** Dumps the packet's header and attributes in hexadecimal to standard output. */
QN_EXPORT int lr_packet_print_hex(const lr_packet *packet);

/**
 * Renders the pair's value as people read it into out (size octets): the value's name where
 * the dictionary has one (integer, byte, short: lr_dict_value_name), an IPv6 address or prefix
 * in RFC 5952 text ("2001:db8::/32"), an interface id as four groups of hex digits without
 * leading zeros ("11:2233:4455:6677"), a date in ISO 8601 UTC ("2026-12-08T19:00:00Z");
 * anything else as lr_vp_snprintf_value does. Returns the characters written, 0 when the text
 * does not fit or the type has no text form. Thread-safe.
 */
QN_EXPORT size_t lr_vp_snprintf_value_named(char *out, size_t size, const lr_value_pair *vp);

/**
 * Parses value text into vp as people write it: a value name of the attribute (case ignored;
 * integer, byte, short), and otherwise by type: what lr_vp_sscanf_value takes for string,
 * integer and ipaddr; a date as "YYYY-MM-DDTHH:MM:SSZ" (UTC) or seconds; a decimal number
 * for byte (0..255) and short (0..65535); 0x and hex digits (1..253 octets) for octets; an
 * interface id as four ':'-separated groups of 1..4 hex digits; an IPv6 address; an IPv6
 * prefix "ADDRESS/0..128" (bits past the length cleared). Returns 0; -QNE_INVAL for a NULL
 * argument; -QNE_ATTR_VALUE_MALFORMED for text that is no value of the type (vp may then hold
 * part of it); -QNE_ATTR_TYPE_UNKNOWN for a type without a text form. Thread-safe.
 */
QN_EXPORT int lr_vp_sscanf_value_named(lr_value_pair *vp, const char *value);

/* ---------------------------------------------------------------------------------------- */
/* Server packet identifiers                                                                 */
/* ---------------------------------------------------------------------------------------- */

/** Sets up a server record for code and secret (not owned). 0 or -QNE_INVAL. */
QN_EXPORT int lr_server_init(lr_server *server, int code, const char *secret);

/** Closes the server's socket. 0, -QNE_INVAL, or -QNE_INUSE while identifiers are in use. */
QN_EXPORT int lr_server_close(lr_server *server);

/**
 * Gives packet a free identifier with the server's socket, addresses and code.
 * 0, -QNE_INVAL, -QNE_INTERNAL or -QNE_NOMEM (all 256 in use).
 */
QN_EXPORT int lr_server_id_alloc(lr_server *server, lr_packet *packet);

/** Releases packet's identifier. 0, -QNE_INVAL or -QNE_INTERNAL. */
QN_EXPORT int lr_server_id_free(lr_server *server, lr_packet *packet);

/** Gives packet a new identifier in place of its old one. 0 or a negated code. */
QN_EXPORT int lr_server_id_realloc(lr_server *server, lr_packet *packet);

/**
 * Allocates (malloc) one block holding a packet record and its LR_SERVER_PACKET_SIZE-octet
 * buffer, initialised for the server (which may be NULL); the caller releases it with free.
 * 0, -QNE_INVAL, -QNE_NOMEM, or a failure of lr_packet_init.
 */
QN_EXPORT int lr_server_packet_alloc(const lr_server *server, lr_packet **packet_p);

#ifdef __cplusplus
}
#endif

#endif /* QUELNA_CODEC_H */
