// Download benchmark: one image from vsftpd over loopback onto the standby
// partition's device, by update (direct and indirect) and by the usual peers,
// in interleaved runs with the page cache dropped before each.
//
//   bench_download --peak FILE [--mib N] [--runs N] [--native DIR] [--qemu]
//
// --peak names the static bench_peak program that measures each run; --native
// a directory with a static x86-64 build of update (the same sources); --qemu
// says the product binary in the sandbox needs qemu-user.

#include "appliance.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sample {
    double wall = -1, cpu = -1;
    long rss_kib = -1;
    bool ok = false;
};

struct Variant {
    std::string name;
    std::vector<std::string> argv; // inside the sandbox, or on the host when host_cmd
    bool host_cmd = false;
    bool unmount = false; // the tool itself does not unmount the partition
    std::vector<Sample> samples;
};

// bench_peak prints "peak: <wall s> <cpu s> <max rss KiB>" on standard error.
Sample parse_peak(const std::string &text, bool ok) {
    Sample s;
    size_t at = text.rfind("peak: ");
    if (at == std::string::npos)
        return s;
    s.ok =
        ok && std::sscanf(text.c_str() + at, "peak: %lf %lf %ld", &s.wall, &s.cpu, &s.rss_kib) == 3;
    return s;
}

bool sh(const std::string &cmd) {
    return std::system(cmd.c_str()) == 0;
}

void drop_caches() {
    sync();
    FILE *f = std::fopen("/proc/sys/vm/drop_caches", "w");
    if (f) {
        std::fputs("3\n", f);
        std::fclose(f);
    }
}

template <typename F> double median(const std::vector<Sample> &v, F get) {
    std::vector<double> xs;
    for (const Sample &s : v)
        if (s.ok)
            xs.push_back(get(s));
    if (xs.empty())
        return -1;
    std::sort(xs.begin(), xs.end());
    size_t n = xs.size();
    return n % 2 ? xs[n / 2] : (xs[n / 2 - 1] + xs[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    unsigned mib = 256, runs = 5;
    std::string native_dir, peak;
    bool qemu = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--mib" && i + 1 < argc)
            mib = unsigned(std::atoi(argv[++i]));
        else if (a == "--runs" && i + 1 < argc)
            runs = unsigned(std::atoi(argv[++i]));
        else if (a == "--native" && i + 1 < argc)
            native_dir = argv[++i];
        else if (a == "--peak" && i + 1 < argc)
            peak = argv[++i];
        else if (a == "--qemu")
            qemu = true;
        else {
            std::fprintf(stderr,
                         "usage: %s --peak FILE [--mib N] [--runs N] [--native DIR] [--qemu]\n",
                         argv[0]);
            return 2;
        }
    }
    if (peak.empty() || mib < 8 || runs < 1) {
        std::fprintf(stderr, "bench: --peak is needed, --mib at least 8, --runs at least 1\n");
        return 2;
    }

    char tmpl[] = "/tmp/nimbo-bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string work = tmpl;
    std::string tree = work + "/tree", ftp = work + "/ftp", image = ftp + "/image";
    // A real ext2 image, so that update's remount and version check pass;
    // random content, so that nothing along the way can compress or skip it.
    bool made = sh("mkdir -p " + tree + " " + ftp) &&
                sh("printf 'nimbotex.3.0.0\\n' > " + tree + "/.version") &&
                sh("head -c 2000000 /dev/urandom > " + tree + "/bzImage-3.0.0") &&
                // a tenth of the file system is left for ext2's own tables
                sh("head -c " + std::to_string(mib * 9 / 10 * 1024 * 1024) + " /dev/urandom > " +
                   tree + "/RFS-3.0.0.gz") &&
                sh("mke2fs -q -F -t ext2 -b 4096 -d " + tree + " " + image + " " +
                   std::to_string(mib) + "M");
    if (!made) {
        std::fprintf(stderr, "bench: cannot make the test image\n");
        sh("rm -rf " + work);
        return 1;
    }
    sh("rm -rf " + tree);

    ApplianceOptions opt = appliance_default_options();
    opt.ftp_dir = ftp;
    opt.standby_kib = mib * 1024 + 1024;
    opt.ramdisk_kib = mib * 1024 + 1024;
    opt.active_kib = 4096;
    std::string err;
    Appliance *sb = appliance_create(opt, &err);
    if (!sb) {
        std::fprintf(stderr, "bench: sandbox: %s\n", err.c_str());
        sh("rm -rf " + work);
        return 1;
    }
    const std::string &root = appliance_root(sb);

    if (!sh("cp " + peak + " " + root + "/sbin/peak")) {
        std::fprintf(stderr, "bench: cannot copy %s into the sandbox\n", peak.c_str());
        appliance_destroy(sb);
        sh("rm -rf " + work);
        return 1;
    }
    std::vector<std::string> product = {"peak"};
    if (qemu) {
        product.insert(product.end(),
                       {"/usr/bin/qemu-i386-static", "-0", "update", "/sbin/update"});
    } else {
        product.push_back("update");
    }
    std::vector<Variant> variants;
    auto add_update = [&](const std::string &name, std::vector<std::string> cmd, bool direct) {
        cmd.insert(cmd.end(), {"-h", "127.0.0.1", "-f", "image", "-m", "2"});
        if (direct)
            cmd.push_back("-D");
        variants.push_back({name, cmd, false, false, {}});
    };
    if (!native_dir.empty()) {
        std::string copy = "cp " + native_dir + "/update " + root + "/sbin/update-native";
        if (!sh(copy)) {
            std::fprintf(stderr, "bench: cannot copy the native update\n");
            appliance_destroy(sb);
            sh("rm -rf " + work);
            return 1;
        }
        add_update("update -D (native)", {"peak", "update-native"}, true);
        add_update("update (native)", {"peak", "update-native"}, false);
    }
    add_update(qemu ? "update -D (i386, qemu)" : "update -D (i386)", product, true);
    add_update(qemu ? "update (i386, qemu)" : "update (i386)", product, false);
    variants.push_back({"busybox ftpget",
                        {"peak", "sh", "-c", "ftpget 127.0.0.1 /dev/hda2 image && sync"},
                        false,
                        true,
                        {}});
    std::string netns = "/proc/" + std::to_string(appliance_init_pid(sb)) + "/ns/net";
    variants.push_back({"curl",
                        {peak, "nsenter", "--net=" + netns, "sh", "-c",
                         "curl -s -o " + root + "/dev/hda2 ftp://127.0.0.1/image && sync"},
                        true,
                        true,
                        {}});
    variants.push_back({"cat image > device",
                        {peak, "sh", "-c", "cat " + image + " > " + root + "/dev/hda2 && sync"},
                        true,
                        true,
                        {}});

    std::printf("image %u MiB, %u runs per tool, interleaved, page cache dropped before each\n",
                mib, runs);
    for (unsigned r = 0; r < runs; ++r) {
        for (Variant &v : variants) {
            if (v.unmount)
                appliance_run(sb, {"umount", "/standby_partition"});
            drop_caches();
            Sample s;
            if (v.host_cmd) {
                std::string cmd;
                for (const std::string &a : v.argv)
                    cmd += "'" + a + "' ";
                std::string out = work + "/peak.txt";
                bool ok = sh(cmd + "> /dev/null 2> " + out);
                std::string text;
                if (FILE *f = std::fopen(out.c_str(), "r")) {
                    char buf[4096];
                    size_t n;
                    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
                        text.append(buf, n);
                    std::fclose(f);
                }
                s = parse_peak(text, ok);
            } else {
                ApplianceResult res = appliance_run(sb, v.argv, 600);
                s = parse_peak(res.err, res.status == 0 && !res.timed_out);
            }
            if (v.unmount)
                appliance_run(sb, {"mount", "-t", "ext2", "/dev/hda2", "/standby_partition"});
            std::printf("  run %u  %-24s %s wall %7.2f s  cpu %7.2f s  rss %7ld KiB\n", r + 1,
                        v.name.c_str(), s.ok ? "ok    " : "FAILED", s.wall, s.cpu, s.rss_kib);
            std::fflush(stdout);
            v.samples.push_back(s);
        }
    }
    appliance_destroy(sb);
    sh("rm -rf " + work);

    std::printf("\n%-24s %10s %10s %12s %8s\n", "median", "wall s", "cpu s", "peak KiB", "MB/s");
    std::map<std::string, Sample> med;
    for (const Variant &v : variants) {
        Sample m;
        m.wall = median(v.samples, [](const Sample &s) { return s.wall; });
        m.cpu = median(v.samples, [](const Sample &s) { return s.cpu; });
        m.rss_kib = long(median(v.samples, [](const Sample &s) { return double(s.rss_kib); }));
        med[v.name] = m;
        std::printf("%-24s %10.2f %10.2f %12ld %8.1f\n", v.name.c_str(), m.wall, m.cpu, m.rss_kib,
                    m.wall > 0 ? mib * 1.048576 / m.wall : 0.0);
    }
    std::printf("\nratios (update / peer), wall and cpu:\n");
    for (const Variant &u : variants) {
        if (u.name.rfind("update", 0) != 0)
            continue;
        for (const Variant &p : variants) {
            if (p.name.rfind("update", 0) == 0)
                continue;
            const Sample &a = med[u.name], &b = med[p.name];
            std::printf("  %-24s / %-20s %6.2f %6.2f\n", u.name.c_str(), p.name.c_str(),
                        b.wall > 0 ? a.wall / b.wall : 0.0, b.cpu > 0 ? a.cpu / b.cpu : 0.0);
        }
    }
    return 0;
}
