// minisign's key and signature files as the minisign tool writes them, and
// the check of an image hash (BLAKE2b-512 from coreutils' b2sum) against them.
#include "signature.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace {

struct Folder {
    std::string path = [] {
        char t[] = "/tmp/signature_test.XXXXXX";
        return std::string(mkdtemp(t) != nullptr ? t : "/nonexistent");
    }();
    ~Folder() {
        (void)!std::system(("rm -rf " + path).c_str());
    }
};

bool sh(const std::string &cmd) {
    return std::system(cmd.c_str()) == 0;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Keys a and b made by minisign, an image "nimbotex" signed in several ways.
struct Signed {
    Folder dir;
    std::string d = dir.path;
    bool made = sh(
        "cd " + d + " && minisign -G -W -p a.pub -s a.sec >/dev/null && " +
        "minisign -G -W -p b.pub -s b.sec >/dev/null && head -c 70000 /dev/urandom > nimbotex && "
        "cp nimbotex other && mkdir -p pub && cp nimbotex pub/nimbotex && "
        "minisign -S -s a.sec -m nimbotex >/dev/null && "
        "minisign -S -s b.sec -m nimbotex -x b.minisig >/dev/null && "
        "minisign -S -l -s a.sec -m nimbotex -x legacy.minisig >/dev/null && "
        "minisign -S -s a.sec -m other -x other.minisig >/dev/null && "
        "minisign -S -s a.sec -m nimbotex -x custom.minisig -t 'release 3.3.0' >/dev/null && "
        "minisign -S -s a.sec -m pub/nimbotex -x path.minisig >/dev/null && "
        "sed '3s/nimbotex/nimbotey/' nimbotex.minisig > edited.minisig && "
        "(cat nimbotex.minisig; echo extra) > extra.minisig && "
        "sed 's/$/\\r/' nimbotex.minisig > crlf.minisig && sed 's/$/\\r/' a.pub > crlf.pub && "
        "head -c 4097 /dev/zero | tr '\\0' a > long.minisig && "
        "b2sum -l 512 nimbotex | cut -c1-128 > hash");
    SignatureKey key(const char *name) {
        SignatureKey k{};
        std::string text = slurp(d + "/" + name);
        EXPECT_EQ(signature_parse_key(text.data(), text.size(), &k), SIG_OK) << name;
        return k;
    }
    bool hash(uint8_t out[SIGNATURE_HASH_SIZE]) {
        std::string hex = slurp(d + "/hash");
        for (size_t i = 0; i < SIGNATURE_HASH_SIZE && hex.size() >= 128; ++i)
            out[i] = uint8_t(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        return hex.size() >= 128;
    }
};

TEST(SignatureKeyFile, OnlyMinisignsPublicKeyFormat) {
    Signed s;
    ASSERT_TRUE(s.made);
    std::string pub = slurp(s.d + "/a.pub"), sec = slurp(s.d + "/a.sec");
    size_t nl = pub.find('\n');
    const std::pair<std::string, int> cases[] = {
        {pub, SIG_OK},
        {slurp(s.d + "/crlf.pub"), SIG_OK},
        {pub + "\n\n", SIG_OK},
        {pub.substr(0, pub.size() - 1), SIG_OK}, // no line end at the end
        {pub.substr(nl + 1), SIG_KEY_BAD},       // no comment line
        {pub + "RWQ=\n", SIG_KEY_BAD},
        {pub.substr(0, pub.size() - 5) + "\n", SIG_KEY_BAD}, // base64 cut short
        {"untrusted comment: x\n" + pub.substr(nl + 1, 10) + "#" + pub.substr(nl + 12),
         SIG_KEY_BAD},
        {sec, SIG_KEY_BAD}, // the secret key file
        {"", SIG_KEY_BAD},
    };
    for (const auto &[text, rc] : cases) {
        SignatureKey k;
        EXPECT_EQ(signature_parse_key(text.data(), text.size(), &k), rc) << text;
    }
}

TEST(SignatureKeyFolder, EveryPubFileIsAKeyAndNoneMayBeDamaged) {
    Signed s;
    ASSERT_TRUE(s.made);
    struct {
        const char *name, *prep;
        int rc, count;
    } cases[] = {
        {"no folder", "true", SIG_OK, 0},
        {"empty folder", "mkdir k", SIG_OK, 0},
        {"other files only", "mkdir k && cp a.pub k/a.key && cp a.pub k/pub", SIG_OK, 0},
        {"two keys", "mkdir k && cp a.pub k/a.pub && cp b.pub k/b.pub && cp a.sec k/", SIG_OK, 2},
        {"a damaged key", "mkdir k && cp a.pub k/a.pub && head -c 60 b.pub > k/b.pub", SIG_KEY_BAD,
         0},
        {"a folder named like a key", "mkdir -p k/x.pub", SIG_KEY_BAD, 0},
        {"a key file over 4 KiB", "mkdir k && (cat a.pub; head -c 4096 /dev/zero) > k/a.pub",
         SIG_KEY_BAD, 0},
        {"16 keys", "mkdir k && for i in $(seq 16); do cp a.pub k/$i.pub; done", SIG_OK, 16},
        {"17 keys", "mkdir k && for i in $(seq 17); do cp a.pub k/$i.pub; done", SIG_KEY_BAD, 0},
        {"the folder a file", "touch k", SIG_KEY_BAD, 0},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(sh("cd " + s.d + " && rm -rf k && " + c.prep)) << c.name;
        SignatureKeyring ring;
        EXPECT_EQ(signature_load_keys((s.d + "/k").c_str(), &ring), c.rc) << c.name;
        EXPECT_EQ(ring.count, c.count) << c.name;
    }
}

TEST(SignatureFile, ParsedAcceptedAndCheckedAgainstTheImageHash) {
    Signed s;
    ASSERT_TRUE(s.made);
    ASSERT_EQ(signature_init(), 0);
    SignatureKeyring ring{{s.key("a.pub"), s.key("b.pub")}, 2};
    SignatureKeyring only_b{{s.key("b.pub")}, 1};
    uint8_t hash[SIGNATURE_HASH_SIZE];
    ASSERT_TRUE(s.hash(hash));
    uint8_t flipped[SIGNATURE_HASH_SIZE];
    std::copy(hash, hash + SIGNATURE_HASH_SIZE, flipped);
    flipped[17] ^= 0x01;
    // parse, accept and verify: each step's result; later steps run after SIG_OK only.
    struct {
        const char *file, *image;
        const SignatureKeyring *keys;
        const uint8_t *hash;
        int parse, accept, verify;
    } cases[] = {
        {"nimbotex.minisig", "nimbotex", &ring, hash, SIG_OK, SIG_OK, SIG_OK},
        {"b.minisig", "nimbotex", &ring, hash, SIG_OK, SIG_OK, SIG_OK},
        {"crlf.minisig", "nimbotex", &ring, hash, SIG_OK, SIG_OK, SIG_OK},
        {"path.minisig", "pub/nimbotex", &ring, hash, SIG_OK, SIG_OK, SIG_OK},
        {"nimbotex.minisig", "nimbotex", &ring, flipped, SIG_OK, SIG_OK, SIG_MISMATCH},
        {"nimbotex.minisig", "nimbotex", &only_b, hash, SIG_OK, SIG_UNKNOWN_KEY, 0},
        {"nimbotex.minisig", "nimbotex.3.3.0", &ring, hash, SIG_OK, SIG_OTHER_FILE, 0},
        {"other.minisig", "nimbotex", &ring, hash, SIG_OK, SIG_OTHER_FILE, 0},
        {"custom.minisig", "nimbotex", &ring, hash, SIG_OK, SIG_OTHER_FILE, 0},
        {"edited.minisig", "nimbotey", &ring, hash, SIG_OK, SIG_COMMENT, 0},
        {"legacy.minisig", "nimbotex", &ring, hash, SIG_LEGACY, 0, 0},
        {"extra.minisig", "nimbotex", &ring, hash, SIG_MALFORMED, 0, 0},
        {"long.minisig", "nimbotex", &ring, hash, SIG_MALFORMED, 0, 0},
        {"a.pub", "nimbotex", &ring, hash, SIG_MALFORMED, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::string text = slurp(s.d + "/" + c.file);
        SignatureFile sig;
        const SignatureKey *key = nullptr;
        ASSERT_EQ(signature_parse(text.data(), text.size(), &sig), c.parse);
        if (c.parse != SIG_OK)
            continue;
        ASSERT_EQ(signature_accept(&sig, c.keys, c.image, &key), c.accept);
        if (c.accept == SIG_OK) {
            EXPECT_EQ(signature_verify_hash(&sig, key, c.hash), c.verify);
        }
    }
}

} // namespace
