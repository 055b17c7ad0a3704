#pragma once
// Image signatures in minisign's formats: the trusted public keys a unit
// keeps, the signature file that lies beside an image on the server, and the
// check of the installed bytes' BLAKE2b-512 hash against them. Plain
// functions over text and bytes; libsodium does the cryptography.

#include <cstddef>
#include <cstdint>

constexpr const char *SIGNATURE_KEY_DIR = "/etc/update/keys"; // one key per "*.pub" file
constexpr const char *SIGNATURE_KEY_SUFFIX = ".pub";
constexpr const char *SIGNATURE_SUFFIX = ".minisig"; // appended to the image name
constexpr size_t SIGNATURE_FILE_MAX = 4096;          // bytes of a signature file
constexpr size_t SIGNATURE_KEY_FILE_MAX = 4096;      // bytes of a key file
constexpr int SIGNATURE_KEYS_MAX = 16;
constexpr size_t SIGNATURE_KEY_ID_SIZE = 8;
constexpr size_t SIGNATURE_PUBLIC_KEY_SIZE = 32; // Ed25519
constexpr size_t SIGNATURE_SIZE = 64;            // Ed25519
constexpr size_t SIGNATURE_HASH_SIZE = 64;       // BLAKE2b-512
constexpr size_t SIGNATURE_COMMENT_MAX = SIGNATURE_FILE_MAX;

// Results of the functions below; also the run's reasons to refuse an image.
constexpr int SIG_OK = 0;
constexpr int SIG_KEY_BAD = 1;     // a trusted key file unreadable or malformed
constexpr int SIG_MISSING = 2;     // the server refused the signature file
constexpr int SIG_NOT_FETCHED = 3; // the signature file's transfer failed
constexpr int SIG_MALFORMED = 4;   // signature file malformed or too long
constexpr int SIG_LEGACY = 5;      // the legacy form, a signature of the whole file
constexpr int SIG_UNKNOWN_KEY = 6; // signed by a key the unit does not trust
constexpr int SIG_COMMENT = 7;     // the trusted comment does not verify
constexpr int SIG_OTHER_FILE = 8;  // the trusted comment names another file
constexpr int SIG_MISMATCH = 9;    // the signature does not match the installed bytes

struct SignatureKey {
    uint8_t id[SIGNATURE_KEY_ID_SIZE];
    uint8_t key[SIGNATURE_PUBLIC_KEY_SIZE];
};

struct SignatureKeyring {
    SignatureKey keys[SIGNATURE_KEYS_MAX];
    int count;
};

// A parsed signature file. comment is the trusted comment (not NUL-terminated).
struct SignatureFile {
    char algorithm[2]; // "ED": a signature of the file's BLAKE2b-512 hash
    uint8_t key_id[SIGNATURE_KEY_ID_SIZE];
    uint8_t signature[SIGNATURE_SIZE];
    char comment[SIGNATURE_COMMENT_MAX];
    size_t comment_len;
    uint8_t global_signature[SIGNATURE_SIZE]; // over signature and comment
};

// Initialises libsodium; call once before any function below. Returns 0, or -1.
int signature_init();

// Parses a public key file: an "untrusted comment:" line, then the base64 of
// "Ed", the key id and the key. Returns SIG_OK, or SIG_KEY_BAD.
int signature_parse_key(const char *text, size_t len, SignatureKey *key);

// Reads every "*.pub" file of dir into ring. A missing dir, or one without
// such files, gives an empty ring. Returns SIG_OK, or SIG_KEY_BAD when dir
// cannot be read or holds a key file that cannot be read or parsed, or more
// than SIGNATURE_KEYS_MAX of them.
int signature_load_keys(const char *dir, SignatureKeyring *ring);

// Parses a signature file: "untrusted comment:" line, base64 of algorithm,
// key id and signature, "trusted comment:" line, base64 of the global
// signature. Returns SIG_OK for the prehashed form "ED", SIG_LEGACY for "Ed",
// SIG_MALFORMED for anything else or more than SIGNATURE_FILE_MAX bytes.
int signature_parse(const char *text, size_t len, SignatureFile *sig);

// What can be judged before the image comes: the signing key must be in ring
// (*key gets it), the global signature must verify, and the trusted comment's
// one "file:" field (fields are tab-separated) must name image, or its last
// path component. Returns SIG_OK, SIG_UNKNOWN_KEY, SIG_COMMENT or SIG_OTHER_FILE.
int signature_accept(const SignatureFile *sig, const SignatureKeyring *ring, const char *image,
                     const SignatureKey **key);

// Returns SIG_OK when sig, made with key, signs the BLAKE2b-512 hash; else SIG_MISMATCH.
int signature_verify_hash(const SignatureFile *sig, const SignatureKey *key,
                          const uint8_t hash[SIGNATURE_HASH_SIZE]);

// Returns the state-file line (line end included) for a result other than SIG_OK.
const char *signature_failure_text(int result);
