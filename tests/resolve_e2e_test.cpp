// update -h as shipped: the server named by address, by /etc/hosts or by
// dnsmasq inside, which knows ftp.example.test as 127.0.0.1 and no other name.
#include "e2e.h"

namespace {

#define SWAPPABLE 0, "You can swap the system\n"

// clang-format off
const InTurn resolve_runs[] = {
    {"update -D -h 127.0.0.1", "", SWAPPABLE},
    {"update -D -h FTP-Server", // an alias, in another case
     "printf '::1 ftp-server\\n127.0.0.1 files.lan ftp-server\\n' >/etc/hosts", SWAPPABLE},
    {"update -D -h ftp.example.test", "", SWAPPABLE},
    {"update -D -h ftp", "echo search example.test >>/etc/resolv.conf", SWAPPABLE},
    {"update -D -h ftp.example.test", "echo 127.0.0.9 FTP.example.test >/etc/hosts", 61,
     "Connection refused\n"}, // /etc/hosts first
    {"update -D -h nosuch.example.test", "", 61, "Unknown host\n"},
    {"update -D -h ftp.example.test", "echo nameserver 127.0.0.2 >/etc/resolv.conf", 61,
     "Host name lookup failure\n"}, // no name server answers
};
// clang-format on

TEST(Resolve, ServerByAddressHostsFileOrDns) {
    Scratch tmp;
    ASSERT_FALSE(make_image(tmp.path, "nimbotex", "nimbotex.3.3.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = tmp.path;
    o.dns_records = {"ftp.example.test,127.0.0.1"};
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    run_in_turn(box.a,
                "rm -f /etc/hosts; echo nameserver 127.0.0.1 >/etc/resolv.conf; echo untouched "
                ">/cfg/.update.state",
                resolve_runs);
}

} // namespace
