// minisign's key and signature files, and their check with libsodium.
#include "signature.h"

#include "base.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view untrusted_prefix = "untrusted comment: ";
constexpr std::string_view trusted_prefix = "trusted comment: ";
constexpr std::string_view file_field = "file:";
constexpr size_t key_blob_size = 2 + SIGNATURE_KEY_ID_SIZE + SIGNATURE_PUBLIC_KEY_SIZE;
constexpr size_t signature_blob_size = 2 + SIGNATURE_KEY_ID_SIZE + SIGNATURE_SIZE;

static_assert(SIGNATURE_PUBLIC_KEY_SIZE == crypto_sign_PUBLICKEYBYTES);
static_assert(SIGNATURE_SIZE == crypto_sign_BYTES);
static_assert(SIGNATURE_HASH_SIZE <= crypto_generichash_BYTES_MAX);

// The lines of a file, each without its line end ("\n" or "\r\n").
struct Lines {
    std::string_view rest;
};

bool next_line(Lines *l, std::string_view *line) {
    if (l->rest.empty())
        return false;
    size_t nl = l->rest.find('\n');
    *line = l->rest.substr(0, nl);
    l->rest = nl == std::string_view::npos ? std::string_view() : l->rest.substr(nl + 1);
    if (!line->empty() && line->back() == '\r')
        line->remove_suffix(1);
    return true;
}

// Blank lines may follow the last line; anything else means a damaged file.
bool only_blanks_left(const Lines &l) {
    return l.rest.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Decodes a whole line of base64 into exactly size bytes.
bool decode(std::string_view b64, uint8_t *out, size_t size) {
    size_t got = 0;
    const char *end = nullptr;
    return sodium_base642bin(out, size, b64.data(), b64.size(), nullptr, &got, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           end == b64.data() + b64.size() && got == size;
}

// The one "file:" field of a tab-separated comment names name.
bool comment_names(std::string_view comment, std::string_view name) {
    int named = 0;
    for (size_t at = 0;;) {
        size_t tab = comment.find('\t', at);
        std::string_view field = comment.substr(at, tab == std::string_view::npos ? tab : tab - at);
        if (starts_with(field, file_field)) {
            if (field.substr(file_field.size()) != name)
                return false;
            ++named;
        }
        if (tab == std::string_view::npos)
            break;
        at = tab + 1;
    }
    return named == 1;
}

bool ends_with(const char *name, const char *suffix) {
    size_t n = strlen(name), s = strlen(suffix);
    return n >= s && strcmp(name + n - s, suffix) == 0;
}

// Reads the key file dir/name into key.
int load_key(int dir, const char *name, SignatureKey *key) {
    // Without waiting: a FIFO named like a key must not hold the run.
    UniqueFd fd(openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return SIG_KEY_BAD;
    // One byte more than a key file may hold, to see that it does not.
    char text[SIGNATURE_KEY_FILE_MAX + 1];
    size_t len = 0;
    while (len < sizeof text) {
        ssize_t n = read(fd.fd, text + len, sizeof text - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return SIG_KEY_BAD;
        if (n == 0)
            break;
        len += size_t(n);
    }
    if (len > SIGNATURE_KEY_FILE_MAX)
        return SIG_KEY_BAD;
    return signature_parse_key(text, len, key);
}

} // namespace

int signature_init() {
    return sodium_init() < 0 ? -1 : 0;
}

int signature_parse_key(const char *text, size_t len, SignatureKey *key) {
    Lines lines{std::string_view(text, len)};
    std::string_view comment, b64;
    uint8_t blob[key_blob_size];
    if (!next_line(&lines, &comment) || !starts_with(comment, untrusted_prefix) ||
        !next_line(&lines, &b64) || !only_blanks_left(lines) || !decode(b64, blob, sizeof blob) ||
        memcmp(blob, "Ed", 2) != 0)
        return SIG_KEY_BAD;
    memcpy(key->id, blob + 2, sizeof key->id);
    memcpy(key->key, blob + 2 + sizeof key->id, sizeof key->key);
    return SIG_OK;
}

int signature_load_keys(const char *dir, SignatureKeyring *ring) {
    ring->count = 0;
    DIR *d = opendir(dir);
    if (d == nullptr)
        return errno == ENOENT ? SIG_OK : SIG_KEY_BAD;
    int rc = SIG_OK;
    errno = 0;
    for (dirent *e; rc == SIG_OK && (e = readdir(d)) != nullptr; errno = 0) {
        if (!ends_with(e->d_name, SIGNATURE_KEY_SUFFIX))
            continue;
        if (ring->count == SIGNATURE_KEYS_MAX)
            rc = SIG_KEY_BAD;
        else
            rc = load_key(dirfd(d), e->d_name, &ring->keys[ring->count++]);
    }
    if (rc == SIG_OK && errno != 0)
        rc = SIG_KEY_BAD;
    closedir(d);
    if (rc != SIG_OK)
        ring->count = 0;
    return rc;
}

int signature_parse(const char *text, size_t len, SignatureFile *sig) {
    if (len > SIGNATURE_FILE_MAX)
        return SIG_MALFORMED;
    Lines lines{std::string_view(text, len)};
    std::string_view untrusted, b64, trusted, global;
    uint8_t blob[signature_blob_size];
    if (!next_line(&lines, &untrusted) || !starts_with(untrusted, untrusted_prefix) ||
        !next_line(&lines, &b64) || !next_line(&lines, &trusted) ||
        !starts_with(trusted, trusted_prefix) || !next_line(&lines, &global) ||
        !only_blanks_left(lines) || !decode(b64, blob, sizeof blob) ||
        !decode(global, sig->global_signature, sizeof sig->global_signature))
        return SIG_MALFORMED;
    trusted.remove_prefix(trusted_prefix.size());
    memcpy(sig->algorithm, blob, 2);
    memcpy(sig->key_id, blob + 2, sizeof sig->key_id);
    memcpy(sig->signature, blob + 2 + sizeof sig->key_id, sizeof sig->signature);
    memcpy(sig->comment, trusted.data(), trusted.size());
    sig->comment_len = trusted.size();
    if (memcmp(blob, "ED", 2) == 0)
        return SIG_OK;
    // The legacy form signs the whole file, which would have to be held in
    // memory until it can be checked.
    return memcmp(blob, "Ed", 2) == 0 ? SIG_LEGACY : SIG_MALFORMED;
}

int signature_accept(const SignatureFile *sig, const SignatureKeyring *ring, const char *image,
                     const SignatureKey **key) {
    const SignatureKey *signer = nullptr;
    for (int i = 0; i < ring->count && signer == nullptr; ++i)
        if (memcmp(ring->keys[i].id, sig->key_id, sizeof sig->key_id) == 0)
            signer = &ring->keys[i];
    if (signer == nullptr)
        return SIG_UNKNOWN_KEY;
    uint8_t signed_part[SIGNATURE_SIZE + SIGNATURE_COMMENT_MAX];
    memcpy(signed_part, sig->signature, SIGNATURE_SIZE);
    memcpy(signed_part + SIGNATURE_SIZE, sig->comment, sig->comment_len);
    if (crypto_sign_verify_detached(sig->global_signature, signed_part,
                                    SIGNATURE_SIZE + sig->comment_len, signer->key) != 0)
        return SIG_COMMENT;
    // The server folder is no part of the name minisign signs.
    const char *slash = strrchr(image, '/');
    const char *name = slash != nullptr ? slash + 1 : image;
    if (!comment_names(std::string_view(sig->comment, sig->comment_len), name))
        return SIG_OTHER_FILE;
    *key = signer;
    return SIG_OK;
}

int signature_verify_hash(const SignatureFile *sig, const SignatureKey *key,
                          const uint8_t hash[SIGNATURE_HASH_SIZE]) {
    return crypto_sign_verify_detached(sig->signature, hash, SIGNATURE_HASH_SIZE, key->key) == 0
               ? SIG_OK
               : SIG_MISMATCH;
}

const char *signature_failure_text(int result) {
    switch (result) {
    case SIG_KEY_BAD:
        return "Trusted key unreadable or malformed\n";
    case SIG_MISSING:
        return "Signature missing on the server\n";
    case SIG_NOT_FETCHED:
        return "Signature download failed\n";
    case SIG_MALFORMED:
        return "Signature file malformed or too long\n";
    case SIG_LEGACY:
        return "Signature in the legacy form refused\n";
    case SIG_UNKNOWN_KEY:
        return "Signature by an unknown key\n";
    case SIG_COMMENT:
        return "Signature comment does not verify\n";
    case SIG_OTHER_FILE:
        return "Signature names another file\n";
    default:
        return "Signature does not match the image\n";
    }
}
