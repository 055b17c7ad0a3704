// update -h as shipped, on the appliance: the server named by address, by
// /etc/hosts or by a DNS server inside (dnsmasq, which knows ftp.example.test
// as vsftpd's 127.0.0.1 and no other name).
#include "e2e.h"

namespace {

struct ResolveCase {
    const char *name, *host;
    bool dns;         // dnsmasq runs and /etc/resolv.conf names it
    const char *prep; // shell command inside before the run
    int exit;
    const char *state;
};
void PrintTo(const ResolveCase &c, std::ostream *os) {
    *os << c.name;
}

#define SWAPPABLE 0, "You can swap the system\n"

// clang-format off
const ResolveCase resolve_cases[] = {
    {"DottedAddress", "127.0.0.1", false, ":", SWAPPABLE},
    {"HostsAliasInOtherCase", "FTP-Server", false,
     "printf '::1 ftp-server\\n127.0.0.1 files.lan ftp-server\\n' >/etc/hosts", SWAPPABLE},
    {"DnsName", "ftp.example.test", true, ":", SWAPPABLE},
    {"DnsNameThroughTheSearchList", "ftp", true,
     "echo search example.test >>/etc/resolv.conf", SWAPPABLE},
    {"HostsBeforeDns", "ftp.example.test", true, "echo 127.0.0.9 FTP.example.test >/etc/hosts",
     61, "Connection refused\n"},
    {"UnknownName", "nosuch.example.test", true, ":", 61, "Unknown host\n"},
    {"NoNameServerAnswers", "ftp.example.test", false, ":", 61, "Host name lookup failure\n"},
};
// clang-format on

class ResolveRun : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveRun, ExitAndState) {
    const ResolveCase &c = GetParam();
    Scratch tmp;
    ASSERT_FALSE(make_image(tmp.path, "nimbotex", "nimbotex.3.3.0").empty());
    ApplianceOptions o = appliance_default_options();
    o.ftp_dir = tmp.path;
    if (c.dns)
        o.dns_records = {"ftp.example.test,127.0.0.1"};
    Appliance1 box(o);
    ASSERT_NE(box.a, nullptr);
    ASSERT_EQ(exit_code(appliance_run(box.a, {"sh", "-c", c.prep})), 0);
    ApplianceResult r = appliance_run(box.a, {"update", "-D", "-h", c.host}, 120);
    EXPECT_EQ(exit_code(r), c.exit) << r.out << r.err;
    EXPECT_EQ(appliance_read_file(box.a, "/cfg/.update.state"), c.state);
}

INSTANTIATE_TEST_SUITE_P(Hosts, ResolveRun, ::testing::ValuesIn(resolve_cases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
