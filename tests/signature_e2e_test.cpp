// update on the appliance with trusted keys in /etc/update/keys: only an
// image signed by one of them is installed. Keys and signatures are made by
// the minisign tool; the image is served by vsftpd or a scripted server.
#include "e2e.h"
#include "ftp_peer.h"

#include <memory>

namespace {

const std::string failed = "\n  update: The application is terminated through an error\n\n";

#define SIGN_A "minisign -S -s a.sec -m nimbotex"
#define LOGIN "220 scripted|<|331 password|<|230 in|<|200 binary"
#define LOGGED_IN "USER anonymous\r\nPASS updater@nimbotex.lan\r\nTYPE I\r\n"
#define SEND(what) "|<|pasv|<|150 here|accept|data:" what "|close-data|226 done"
#define SIGNED_TRANSCRIPT                                                                          \
    LOGGED_IN "PASV\r\nRETR nimbotex.minisig\r\nPASV\r\nRETR nimbotex\r\nQUIT\r\n"

// One run with keys a, b and c (made fresh, each a minisign key pair) and the
// image "nimbotex" (1 MiB of ext2 and 300 bytes more) in a scratch folder.
// sign: shell commands there that sign and may change what is served.
// keys: the files in /etc/update/keys, copied from the scratch folder
// ("bad.pub": a damaged key file; "-": no folder).
// script: "" for vsftpd, else the scripted server's steps; "data:@sig" sends
// nimbotex.minisig, "data:@all" the image, "data:*N" N bytes of junk.
struct SignedCase {
    const char *name, *args, *sign, *keys;
    int exit;
    const char *state; // a failure's text, on the console (-d) too
    const char *script = "", *transcript = "";
    const char *console = nullptr; // whole, settled; nullptr: the failure's line last
};
void PrintTo(const SignedCase &c, std::ostream *os) {
    *os << c.name;
}

const char *const verdict = "You can swap the system\n";
const char *const mismatch = "Signature does not match the image\n";

// clang-format off
const SignedCase signed_cases[] = {
    {"SignedDirect", "-D -m 2", SIGN_A, "a.pub", 0, verdict},
    {"SignedIndirectAuto", "", SIGN_A, "a.pub", 0, verdict},
    {"SignedByTheSecondOfTwoKeys", "-D -m 1", "minisign -S -s b.sec -m nimbotex", "a.pub b.pub", 0,
     verdict},
    {"SignatureFetchedFirstInTheSameSession", "-D -m 2", SIGN_A, "a.pub", 0, verdict,
     LOGIN SEND("@sig") SEND("@all") "|<|221 bye", SIGNED_TRANSCRIPT},
    // Today's run, byte for byte: no signature is asked for.
    {"NoKeyFolder", "-D -m 2", SIGN_A, "-", 0, verdict, LOGIN SEND("@all") "|<|221 bye",
     LOGGED_IN "PASV\r\nRETR nimbotex\r\nQUIT\r\n",
     "\n  update: Starting update v2.02 \n\n  update: Host......: 127.0.0.1\n"
     "  update: User......: anonymous\n  update: Password..: updater@nimbotex.lan\n"
     "  update: Filename..: nimbotex \n  update: FTP mode..: passive\n"
     "  update: Download..: direct\n\n  update: Download progress 25%\n"
     "  update: You can swap the system\n\n  update: The application is terminated\n\n"},
    {"KeyFolderWithoutPubFiles", "-D -m 2", "", "a.sec", 0, verdict,
     LOGIN SEND("@all") "|<|221 bye", LOGGED_IN "PASV\r\nRETR nimbotex\r\nQUIT\r\n"},
    {"FlippedByteDirect", "-D", SIGN_A " && printf x | dd of=nimbotex bs=1 seek=700000 "
     "conv=notrunc 2>/dev/null", "a.pub", 65, mismatch},
    {"FlippedByteIndirect", "-m 2", SIGN_A " && printf x | dd of=nimbotex bs=1 seek=700000 "
     "conv=notrunc 2>/dev/null", "a.pub", 65, mismatch},
    {"TruncatedImageDirect", "-D -m 2", SIGN_A " && truncate -s 524288 nimbotex", "a.pub", 65,
     mismatch},
    {"TruncatedImageIndirect", "-m 1", SIGN_A " && truncate -s 524288 nimbotex", "a.pub", 65,
     mismatch},
    // Forced mode skips the version checks, never the signature.
    {"UntrustedKeyForced", "-F -D", "minisign -S -s c.sec -m nimbotex", "a.pub b.pub", 65,
     "Signature by an unknown key\n"},
    {"SignatureMissing", "-m 2", "", "a.pub", 65, "Signature missing on the server\n",
     LOGIN "|<|pasv|<|550 no such file|<|221 bye",
     LOGGED_IN "PASV\r\nRETR nimbotex.minisig\r\nQUIT\r\n"},
    {"SignatureMissingFromVsftpdAuto", "-D", "", "a.pub", 65, "Signature missing on the server\n"},
    {"SignatureOverFourKiB", "-D -m 2", "", "a.pub", 65, "Signature file malformed or too long\n",
     LOGIN SEND("*5000") "|<|221 bye", LOGGED_IN "PASV\r\nRETR nimbotex.minisig\r\nQUIT\r\n"},
    {"SignatureGarbage", "-D -m 2", "head -c 300 /dev/urandom > nimbotex.minisig", "a.pub", 65,
     "Signature file malformed or too long\n"},
    {"LegacySignature", "-D -m 2", "minisign -S -l -s a.sec -m nimbotex", "a.pub", 65,
     "Signature in the legacy form refused\n"},
    {"SignedUnderAnotherName", "-m 2", "cp nimbotex nimbotex.3.2.0 && minisign -S -s a.sec "
     "-m nimbotex.3.2.0 -x nimbotex.minisig", "a.pub", 65, "Signature names another file\n"},
    {"TrustedCommentEdited", "-D -m 2", SIGN_A " && sed -i '3s/timestamp:1/timestamp:2/' "
     "nimbotex.minisig", "a.pub", 65, "Signature comment does not verify\n"},
    // Before any FTP contact: the scripted server hears nothing.
    {"DamagedKeyFile", "-D -m 2", SIGN_A, "a.pub bad.pub", 65,
     "Trusted key unreadable or malformed\n", LOGIN SEND("@sig") SEND("@all") "|<|221 bye", ""},
};
// clang-format on

class SignedUpdate : public ::testing::TestWithParam<SignedCase> {};

TEST_P(SignedUpdate, OnlyASignedImageIsInstalled) {
    const SignedCase &c = GetParam();
    Scratch tmp;
    std::string image = make_image(tmp.path, "nimbotex", "nimbotex.3.3.0", 1024, 300);
    ASSERT_FALSE(image.empty());
    std::string cmd = "cd " + tmp.path + " && for k in a b c; do minisign -G -W -p $k.pub -s " +
                      "$k.sec >/dev/null || exit 1; done" + (*c.sign ? " && " : "") + c.sign +
                      " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    ApplianceOptions o = appliance_default_options();
    bool scripted = *c.script != '\0';
    o.ftp_dir = scripted ? "" : tmp.path;
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    std::string keys = c.keys;
    if (keys != "-") {
        ASSERT_EQ(exit_code(appliance_run(box.a, {"mkdir", "-p", "/etc/update/keys"})), 0);
    }
    for (const std::string &k : ftp_script(keys == "-" ? "" : keys, ' ')) {
        std::string text =
            k == "bad.pub" ? "untrusted comment: damaged\nRWQ\n" : slurp(tmp.path + "/" + k);
        ASSERT_TRUE(appliance_write_file(box.a, "/etc/update/keys/" + k, text));
    }
    std::vector<std::string> script;
    for (std::string step : ftp_script(c.script)) {
        if (step == "data:@sig")
            step = "data:" + slurp(tmp.path + "/nimbotex.minisig");
        else if (step == "data:@all")
            step = "data:" + image;
        else if (step.rfind("data:*", 0) == 0)
            step = "data:" + std::string(std::stoul(step.substr(6)), 'x');
        script.push_back(step);
    }
    std::string transcript;
    ApplianceResult r;
    {
        std::unique_ptr<FtpPeer> peer;
        if (scripted)
            peer = std::make_unique<FtpPeer>(script, appliance_listen(box.a, "127.0.0.1", 21),
                                             appliance_init_pid(box.a));
        r = appliance_run(box.a, ftp_script(std::string("update -d ") + c.args, ' '), 120);
        if (peer != nullptr)
            transcript = peer->transcript();
    }
    EXPECT_EQ(exit_code(r), c.exit);
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
    EXPECT_EQ(transcript, c.transcript);
    std::string console = settled(r.out);
    if (c.console != nullptr) {
        EXPECT_EQ(console, c.console);
    } else if (c.exit != 0) {
        std::string tail = std::string("  update: ") + c.state + failed;
        EXPECT_TRUE(console.size() > tail.size() &&
                    console.compare(console.size() - tail.size(), tail.size(), tail) == 0)
            << console;
    }
    EXPECT_NE(appliance_run(box.a, {"cat", "/proc/mounts"})
                  .out.find("/dev/hda2 /standby_partition ext2 rw"),
              std::string::npos)
        << "the standby partition is not mounted again";
    if (c.exit == 0) {
        std::string disk = slurp(appliance_disk_image(box.a, 2));
        EXPECT_TRUE(disk.compare(65536, image.size() - 65536, image, 65536) == 0)
            << "the standby device does not hold the image";
    } else {
        EXPECT_EQ(exit_code(appliance_run(box.a, {"swap"})), 1) << "swap found a verdict";
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, SignedUpdate, ::testing::ValuesIn(signed_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
