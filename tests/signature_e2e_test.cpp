// update on the appliance with trusted keys in /etc/update/keys: only an image
// signed by one of them is installed (keys and signatures made by minisign).
#include "e2e.h"

namespace {

#define SIGN_A "minisign -S -s a.sec -m nimbotex"
#define FLIP SIGN_A " && printf x | dd of=nimbotex bs=1 seek=700000 conv=notrunc 2>/dev/null"
#define CUT SIGN_A " && truncate -s 524288 nimbotex"
#define SEND(what) "|<|pasv|<|150 here|accept|data:" what "|close-data|226 done"
#define RETR_SIG LOGGED_IN "PASV\r\nRETR nimbotex.minisig\r\n"
#define RETR_IMAGE "PASV\r\nRETR nimbotex\r\nQUIT\r\n"
#define MISMATCH "Signature does not match the image"
#define MALFORMED "Signature file malformed or too long"
#define MISSING "Signature missing on the server"

#define REFUSED(text) .exit = 65, .state = text "\n"
#define KEY_A .keys = "a.pub"

// clang-format off
const RunCase signed_runs[] = {
    {.name = "SignedIndirectAuto", .args = "-d", .sign = SIGN_A, KEY_A},
    {.name = "SignedByTheSecondOfTwoKeys", .args = "-d -D -m 1",
     .sign = "minisign -S -s b.sec -m nimbotex", .keys = "a.pub b.pub"},
    {.name = "SignatureFetchedFirstInTheSameSession", .args = "-d -D -m 2",
     .script = LOGIN SEND("@sig") SEND("@all") "|<|221 bye", .transcript = RETR_SIG RETR_IMAGE,
     .sign = SIGN_A, KEY_A},
    // Today's run, byte for byte: no signature is asked for.
    {.name = "NoKeyFolder", .args = "-d -D -m 2", .script = LOGIN SEND("@all") "|<|221 bye",
     .transcript = LOGGED_IN RETR_IMAGE,
     .console = report + "nimbotex \n  update: FTP mode..: passive\n  update: Download..: "
     "direct\n\n  update: Download progress 25%\n  update: You can swap the system\n\n" DONE,
     .sign = SIGN_A},
    {.name = "KeyFolderWithoutPubFiles", .args = "-d -D -m 2", .script = LOGIN SEND("@all")
     "|<|221 bye", .transcript = LOGGED_IN RETR_IMAGE, .keys = "a.sec"},
    {.name = "FlippedByteDirect", .args = "-d -D", REFUSED(MISMATCH), .sign = FLIP, KEY_A},
    {.name = "FlippedByteIndirect", .args = "-d -m 2", REFUSED(MISMATCH), .sign = FLIP, KEY_A},
    {.name = "TruncatedImageDirect", .args = "-d -D -m 2", REFUSED(MISMATCH), .sign = CUT, KEY_A},
    {.name = "TruncatedImageIndirect", .args = "-d -m 1", REFUSED(MISMATCH), .sign = CUT, KEY_A},
    // Forced mode skips the version checks, never the signature.
    {.name = "UntrustedKeyForced", .args = "-d -F -D", REFUSED("Signature by an unknown key"),
     .sign = "minisign -S -s c.sec -m nimbotex", .keys = "a.pub b.pub"},
    {.name = "SignatureMissing", .args = "-d -m 2", .script = LOGIN "|<|pasv|<|550 no such file"
     "|<|221 bye", REFUSED(MISSING), .transcript = RETR_SIG "QUIT\r\n", KEY_A},
    {.name = "SignatureMissingFromVsftpdAuto", .args = "-d -D", REFUSED(MISSING), KEY_A},
    {.name = "SignatureOverFourKiB", .args = "-d -D -m 2", .script = LOGIN SEND("*5000")
     "|<|221 bye", REFUSED(MALFORMED), .transcript = RETR_SIG "QUIT\r\n", KEY_A},
    {.name = "SignatureGarbage", .args = "-d -D -m 2", REFUSED(MALFORMED),
     .sign = "head -c 300 /dev/urandom > nimbotex.minisig", KEY_A},
    {.name = "LegacySignature", .args = "-d -D -m 2", REFUSED("Signature in the legacy form "
     "refused"), .sign = "minisign -S -l -s a.sec -m nimbotex", KEY_A},
    {.name = "SignedUnderAnotherName", .args = "-d -m 2", REFUSED("Signature names another file"),
     .sign = "cp nimbotex nimbotex.3.2.0 && minisign -S -s a.sec -m nimbotex.3.2.0 -x "
     "nimbotex.minisig", KEY_A},
    {.name = "TrustedCommentEdited", .args = "-d -D -m 2", REFUSED("Signature comment does not "
     "verify"), .sign = SIGN_A " && sed -i '3s/timestamp:1/timestamp:2/' nimbotex.minisig", KEY_A},
    // Before any FTP contact: the scripted server hears nothing.
    {.name = "DamagedKeyFile", .args = "-d -D -m 2", .script = LOGIN SEND("@sig") SEND("@all")
     "|<|221 bye", REFUSED("Trusted key unreadable or malformed"), .sign = SIGN_A,
     .keys = "a.pub bad.pub"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Keys, UpdateRun, ::testing::ValuesIn(signed_runs), row_name);

} // namespace
