// minisign's key and signature files as the minisign tool writes them.
#include "signature.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace {

// Keys a and b made by minisign, an image "nimbotex" signed by a in the ways
// the end-to-end runs do not cover; each test makes them in a folder of its own.
const char *const make_files =
    "minisign -G -W -p a.pub -s a.sec >/dev/null && minisign -G -W -p b.pub -s b.sec >/dev/null "
    "&& head -c 7000 /dev/urandom > nimbotex && mkdir pub && cp nimbotex pub/ && "
    "minisign -S -s a.sec -m nimbotex >/dev/null && "
    "minisign -S -s a.sec -m nimbotex -x custom.minisig -t 'release 3.3.0' >/dev/null && "
    "minisign -S -s a.sec -m pub/nimbotex -x path.minisig >/dev/null && "
    "(cat nimbotex.minisig; echo extra) > extra.minisig && "
    "sed 's/$/\\r/' nimbotex.minisig > crlf.minisig && sed 's/$/\\r/' a.pub > crlf.pub && "
    "head -c 4097 /dev/zero | tr '\\0' a > long.minisig";
struct Signature : ::testing::Test {
    std::string d = [] {
        char t[] = "/tmp/signature_test.XXXXXX";
        return std::string(mkdtemp(t) != nullptr ? t : "/nonexistent");
    }();
    bool made = std::system(("cd " + d + " && " + make_files).c_str()) == 0;
    ~Signature() override {
        (void)!std::system(("rm -rf " + d).c_str());
    }
    void SetUp() override {
        ASSERT_TRUE(made);
    }
    std::string file(const std::string &name) const {
        std::ifstream in(d + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

TEST_F(Signature, KeyFileOnlyInMinisignsPublicKeyFormat) {
    std::string pub = file("a.pub");
    size_t nl = pub.find('\n');
    // clang-format off
    const std::pair<std::string, int> cases[] = {
        {pub, SIG_OK}, {file("crlf.pub"), SIG_OK}, {pub + "\n\n", SIG_OK},
        {pub.substr(0, pub.size() - 1), SIG_OK}, // no line end at the end
        {pub.substr(nl + 1), SIG_KEY_BAD},       // no comment line
        {pub + "RWQ=\n", SIG_KEY_BAD},
        {pub.substr(0, pub.size() - 5) + "\n", SIG_KEY_BAD}, // base64 cut short
        {"untrusted comment: x\n" + pub.substr(nl + 1, 10) + "#" + pub.substr(nl + 12),
         SIG_KEY_BAD},
        {file("a.sec"), SIG_KEY_BAD}, {"", SIG_KEY_BAD},
    };
    // clang-format on
    for (const auto &[text, rc] : cases) {
        SignatureKey k;
        EXPECT_EQ(signature_parse_key(text.data(), text.size(), &k), rc) << text;
    }
}

TEST_F(Signature, KeyFolderEveryPubFileIsAKeyAndNoneMayBeDamaged) {
    // clang-format off
    const struct { const char *prep; int rc, count; } cases[] = {
        {"true", SIG_OK, 0}, {"mkdir k", SIG_OK, 0}, {"touch k", SIG_KEY_BAD, 0},
        {"mkdir k && cp a.pub k/a.key && cp a.pub k/pub", SIG_OK, 0},
        {"mkdir k && cp a.pub k/a.pub && cp b.pub k/b.pub && cp a.sec k/", SIG_OK, 2},
        {"mkdir k && cp a.pub k/a.pub && head -c 60 b.pub > k/b.pub", SIG_KEY_BAD, 0},
        {"mkdir -p k/x.pub", SIG_KEY_BAD, 0}, // a folder named like a key
        {"mkdir k && mkfifo k/x.pub", SIG_KEY_BAD, 0},
        {"mkdir k && (cat a.pub; head -c 4096 /dev/zero) > k/a.pub", SIG_KEY_BAD, 0},
        {"mkdir k && for i in $(seq 16); do cp a.pub k/$i.pub; done", SIG_OK, 16},
        {"mkdir k && for i in $(seq 17); do cp a.pub k/$i.pub; done", SIG_KEY_BAD, 0},
    };
    // clang-format on
    for (const auto &c : cases) {
        ASSERT_EQ(std::system(("cd " + d + " && rm -rf k && " + c.prep).c_str()), 0) << c.prep;
        SignatureKeyring ring;
        EXPECT_EQ(signature_load_keys((d + "/k").c_str(), &ring), c.rc) << c.prep;
        EXPECT_EQ(ring.count, c.count) << c.prep;
    }
}

TEST_F(Signature, FileParsedAndAcceptedForTheImageName) {
    ASSERT_EQ(signature_init(), 0);
    SignatureKeyring ring{{}, 2};
    for (int i = 0; i < 2; ++i) {
        std::string pub = file(i == 0 ? "b.pub" : "a.pub");
        ASSERT_EQ(signature_parse_key(pub.data(), pub.size(), &ring.keys[i]), SIG_OK);
    }
    // accept runs after a parse that gave SIG_OK only.
    // clang-format off
    const struct { const char *file, *image; int parse, accept; } cases[] = {
        {"nimbotex.minisig", "nimbotex", SIG_OK, SIG_OK},
        {"crlf.minisig", "nimbotex", SIG_OK, SIG_OK},
        {"path.minisig", "pub/nimbotex", SIG_OK, SIG_OK}, // the folder is not signed
        {"nimbotex.minisig", "pub/nimbotex", SIG_OK, SIG_OK},
        {"nimbotex.minisig", "nimbotex.3.3.0", SIG_OK, SIG_OTHER_FILE},
        {"nimbotex.minisig", "nimbote", SIG_OK, SIG_OTHER_FILE},
        {"custom.minisig", "nimbotex", SIG_OK, SIG_OTHER_FILE}, // no file: field
        {"extra.minisig", "nimbotex", SIG_MALFORMED, 0}, {"a.pub", "nimbotex", SIG_MALFORMED, 0},
        {"long.minisig", "nimbotex", SIG_MALFORMED, 0},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " for " + c.image);
        std::string text = file(c.file);
        SignatureFile sig;
        const SignatureKey *key = nullptr;
        ASSERT_EQ(signature_parse(text.data(), text.size(), &sig), c.parse);
        if (c.parse == SIG_OK) {
            EXPECT_EQ(signature_accept(&sig, &ring, c.image, &key), c.accept);
            EXPECT_EQ(key, c.accept == SIG_OK ? &ring.keys[1] : nullptr);
        }
    }
}

} // namespace
