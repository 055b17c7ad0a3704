// Host names looked up as the name service does ("hosts: files dns"), without
// it: a static program cannot load the name-service modules, but the resolver
// library links statically and reads /etc/resolv.conf itself.

#include "ftp_internal.h"

#include "base.h"

#include <algorithm>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <resolv.h>
#include <strings.h>
#include <vector>

namespace {

// The first A record of the answer section; a CNAME chain comes before it.
// Returns 0, NO_DATA when the answer holds none, NO_RECOVERY when it does not parse.
int first_a_record(const unsigned char *answer, int len, in_addr *out) {
    ns_msg msg;
    if (ns_initparse(answer, len, &msg) != 0)
        return NO_RECOVERY;
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) != 0)
            return NO_RECOVERY;
        if (ns_rr_type(rr) == ns_t_a && ns_rr_class(rr) == ns_c_in &&
            ns_rr_rdlen(rr) == sizeof *out) {
            memcpy(out, ns_rr_rdata(rr), sizeof *out);
            return 0;
        }
    }
    return NO_DATA;
}

// Asks the DNS servers of /etc/resolv.conf, through its search list. Returns 0
// or the resolver's error number.
int dns_lookup(const char *host, in_addr *out) {
    struct Resolver {
        struct __res_state state {};
        bool open = false;
        ~Resolver() {
            if (open)
                res_nclose(&state);
        }
    } r;
    if (res_ninit(&r.state) != 0)
        return NETDB_INTERNAL;
    r.open = true;
    // The largest message there is: a truncated answer would not parse.
    std::vector<unsigned char> answer(NS_MAXMSG);
    int len = res_nsearch(&r.state, host, ns_c_in, ns_t_a, answer.data(), int(answer.size()));
    if (len < 0)
        return r.state.res_h_errno != 0 ? r.state.res_h_errno : HOST_NOT_FOUND;
    return first_a_record(answer.data(), std::min(len, int(answer.size())), out);
}

} // namespace

namespace ftp_internal {

bool hosts_file_lookup(const char *path, const char *host, in_addr *out) {
    FilePtr hosts(fopen(path, "re"));
    struct Line {
        char *text = nullptr;
        size_t cap = 0;
        ~Line() {
            free(text);
        }
    } line;
    while (hosts && getline(&line.text, &line.cap, hosts.get()) >= 0) {
        line.text[strcspn(line.text, "#")] = '\0';
        char *save = nullptr;
        const char *address = strtok_r(line.text, " \t\r\n", &save);
        in_addr entry{};
        // IPv6 entries do not read and are passed over, as in an IPv4 lookup.
        if (address == nullptr || inet_aton(address, &entry) == 0)
            continue;
        for (const char *name; (name = strtok_r(nullptr, " \t\r\n", &save)) != nullptr;) {
            if (strcasecmp(name, host) == 0) {
                *out = entry;
                return true;
            }
        }
    }
    return false;
}

int resolve_host(const char *host, in_addr *out) {
    if (inet_aton(host, out) != 0 || hosts_file_lookup("/etc/hosts", host, out))
        return 0;
    return dns_lookup(host, out);
}

} // namespace ftp_internal
