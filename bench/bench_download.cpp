// Download benchmark: one image from vsftpd over loopback onto the standby
// partition's device, by update (direct and indirect) and by the usual peers,
// in interleaved runs with the page cache dropped before each.
//
//   bench_download --peak FILE [--mib N] [--runs N] [--native DIR] [--qemu]
//
// --peak names the static bench_peak program that measures each run; --native
// a directory with a static x86-64 build of update (the same sources); --qemu
// says the product binary on the appliance needs qemu-user.

#include "appliance.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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
    std::vector<std::string> argv; // inside the appliance, or on the host when host_cmd
    bool host_cmd = false;
    bool unmount = false; // the tool itself does not unmount the partition
    std::vector<Sample> samples;
    bool signed_run = false; // the unit trusts the image's key for this run
    bool writes = true;      // false: reads the image only; the device is not judged
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

std::string read_file(const std::string &path) {
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    return text;
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

// Superblock fields (offsets from its start at byte 1024) that mounting the
// file system rewrites: mount and write times and their high bytes, mount count,
// state, last mount point, kilobytes written, checksum.
constexpr struct {
    size_t at, len;
} mount_fields[] = {{44, 8}, {52, 2}, {58, 2}, {136, 64}, {376, 8}, {628, 2}, {1020, 4}};

// In each 32-byte group descriptor of the first descriptor block (the image
// has 4096-byte blocks): the flags and the checksum, which the kernel's ext2
// driver may set on mount.
constexpr size_t descriptors_at = 4096, descriptor_size = 32;
constexpr struct { size_t at, len; } descriptor_fields[] = {{18, 2}, {30, 2}};

bool mount_field(size_t offset) {
    if (offset >= descriptors_at && offset < 2 * descriptors_at) {
        size_t in = (offset - descriptors_at) % descriptor_size;
        for (auto f : descriptor_fields)
            if (in >= f.at && in < f.at + f.len)
                return true;
        return false;
    }
    if (offset < 1024 || offset >= 2048)
        return false;
    for (auto f : mount_fields)
        if (offset - 1024 >= f.at && offset - 1024 < f.at + f.len)
            return true;
    return false;
}

// Writes the bitwise complement of the image over the device's first image
// bytes: every byte then differs from what a correct run leaves there.
bool overwrite_with_complement(const std::string &image, const std::string &device) {
    FILE *in = std::fopen(image.c_str(), "rb");
    int out = open(device.c_str(), O_WRONLY);
    bool ok = in != nullptr && out >= 0;
    std::vector<unsigned char> buf(1 << 20);
    size_t n;
    while (ok && (n = std::fread(buf.data(), 1, buf.size(), in)) > 0) {
        for (size_t i = 0; i < n; ++i)
            buf[i] = static_cast<unsigned char>(~buf[i]);
        ok = write(out, buf.data(), n) == ssize_t(n);
    }
    ok = ok && fsync(out) == 0;
    if (in != nullptr)
        std::fclose(in);
    if (out >= 0)
        close(out);
    return ok;
}

// Compares the device with the image byte by byte, the fields that mounting
// rewrites excepted. Returns -1 when they agree, else the first differing offset.
long long first_difference(const std::string &image, const std::string &device) {
    FILE *a = std::fopen(image.c_str(), "rb");
    FILE *b = std::fopen(device.c_str(), "rb");
    long long at = 0, diff = a && b ? -1 : 0;
    std::vector<char> x(1 << 20), y(1 << 20);
    size_t n;
    while (diff < 0 && (n = std::fread(x.data(), 1, x.size(), a)) > 0) {
        if (std::fread(y.data(), 1, n, b) != n) {
            diff = at;
            break;
        }
        if (std::memcmp(x.data(), y.data(), n) != 0)
            for (size_t i = 0; i < n && diff < 0; ++i)
                if (x[i] != y[i] && !mount_field(size_t(at) + i))
                    diff = at + (long long)i;
        at += (long long)n;
    }
    if (a)
        std::fclose(a);
    if (b)
        std::fclose(b);
    return diff;
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
    bool made =
        sh("mkdir -p " + tree + " " + ftp) &&
        sh("printf 'nimbotex.3.0.0\\n' > " + tree + "/.version") &&
        sh("head -c 2000000 /dev/urandom > " + tree + "/bzImage-3.0.0") &&
        // a tenth of the file system is left for ext2's own tables,
        // the kernel takes its share of the rest
        sh("head -c " + std::to_string(mib * 9 / 10 * 1024 * 1024 - 2000000) + " /dev/urandom > " +
           tree + "/RFS-3.0.0.gz") &&
        // Access times ahead of the clock: reading .version after the
        // remount then leaves the inode table as it was (relatime).
        sh("touch -a -d tomorrow " + tree + "/.version " + tree + "/*") &&
        sh("mke2fs -q -F -t ext2 -b 4096 -d " + tree + " " + image + " " + std::to_string(mib) +
           "M") &&
        // The vendor's side: a key pair, and image.minisig beside the image.
        sh("minisign -G -W -p " + work + "/bench.pub -s " + work + "/bench.sec >/dev/null") &&
        sh("minisign -S -s " + work + "/bench.sec -m " + image + " >/dev/null");
    if (!made) {
        std::fprintf(stderr, "bench: cannot make the test image\n");
        sh("rm -rf " + work);
        return 1;
    }
    sh("rm -rf " + tree);

    ApplianceOptions opt = appliance_default_options();
    // Only update is measured; run.sh builds no swap.
    opt.swap_bin.clear();
    opt.ftp_dir = ftp;
    opt.standby_kib = mib * 1024 + 1024;
    opt.ramdisk_kib = mib * 1024 + 1024;
    opt.active_kib = 4096;
    std::string err;
    Appliance *sb = appliance_create(opt, &err);
    if (!sb) {
        std::fprintf(stderr, "bench: appliance: %s\n", err.c_str());
        sh("rm -rf " + work);
        return 1;
    }
    const std::string &root = appliance_root(sb);
    // The appliance's /dev exists in its mount namespace only; from here its
    // device nodes are reached through its init's root.
    const std::string device = "/proc/" + std::to_string(appliance_init_pid(sb)) + "/root/dev/hda2";

    if (!sh("cp " + peak + " " + root + "/sbin/peak")) {
        std::fprintf(stderr, "bench: cannot copy %s onto the appliance\n", peak.c_str());
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
    auto add_signed = [&](const std::string &name, bool direct) {
        add_update(name, product, direct);
        variants.back().signed_run = true;
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
    add_signed(qemu ? "update -D signed (qemu)" : "update -D signed (i386)", true);
    add_signed(qemu ? "update signed (qemu)" : "update signed (i386)", false);
    variants.push_back({"busybox ftpget",
                        {"peak", "sh", "-c", "ftpget 127.0.0.1 /dev/hda2 image && sync /dev/hda2"},
                        false,
                        true,
                        {}});
    // The peers flush the device only, as update does: a plain sync would
    // also write out whatever else on the machine is dirty and bill it to them.
    std::string netns = "/proc/" + std::to_string(appliance_init_pid(sb)) + "/ns/net";
    variants.push_back({"curl",
                        {peak, "nsenter", "--net=" + netns, "sh", "-c",
                         "curl -s -o " + device + " ftp://127.0.0.1/image && sync " + device},
                        true,
                        true,
                        {}});
    variants.push_back({"cat image > device",
                        {peak, "sh", "-c", "cat " + image + " > " + device + " && sync " + device},
                        true,
                        true,
                        {}});
    // What BLAKE2b-512 costs at best here: coreutils, 64-bit.
    variants.push_back({"b2sum image", {peak, "b2sum", image}, true, true, {}, false, false});

    std::printf("image %u MiB, %u runs per tool, interleaved, page cache dropped before each\n",
                mib, runs);
    for (unsigned r = 0; r < runs; ++r) {
        for (Variant &v : variants) {
            // The device gets the image's complement while nothing is mounted
            // on it; update then unmounts a tmpfs standing in for the partition.
            appliance_run(sb, {"umount", "/standby_partition"});
            if (v.writes && !overwrite_with_complement(image, device)) {
                std::fprintf(stderr, "bench: cannot overwrite %s\n", device.c_str());
                break;
            }
            if (!v.unmount)
                appliance_run(sb, {"mount", "-t", "tmpfs", "none", "/standby_partition"});
            // Trusted keys make update check the signature; the other runs are unsigned.
            appliance_run(sb, {"rm", "-rf", "/etc/update/keys"});
            if (v.signed_run &&
                !(appliance_run(sb, {"mkdir", "-p", "/etc/update/keys"}).status == 0 &&
                  appliance_write_file(sb, "/etc/update/keys/bench.pub",
                                       read_file(work + "/bench.pub")))) {
                std::fprintf(stderr, "bench: cannot place the trusted key\n");
                break;
            }
            drop_caches();
            Sample s;
            if (v.host_cmd) {
                std::string cmd;
                for (const std::string &a : v.argv)
                    cmd += "'" + a + "' ";
                std::string out = work + "/peak.txt";
                bool ok = sh(cmd + "> /dev/null 2> " + out);
                s = parse_peak(read_file(out), ok);
            } else {
                ApplianceResult res = appliance_run(sb, v.argv, 600);
                s = parse_peak(res.err, res.status == 0 && !res.timed_out);
            }
            // What reached the disk, not what the cache holds.
            drop_caches();
            long long diff = v.writes ? first_difference(image, device) : -1;
            bool ran = s.ok;
            s.ok = ran && diff < 0;
            std::printf("  run %u  %-24s %s wall %7.2f s  cpu %7.2f s  rss %7ld KiB", r + 1,
                        v.name.c_str(), s.ok ? "ok    " : "FAILED", s.wall, s.cpu, s.rss_kib);
            if (ran && diff >= 0)
                std::printf("  (device differs from the image at byte %lld)", diff);
            std::printf("\n");
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
            if (p.name.rfind("update", 0) == 0 || !p.writes)
                continue;
            const Sample &a = med[u.name], &b = med[p.name];
            std::printf("  %-24s / %-20s %6.2f %6.2f\n", u.name.c_str(), p.name.c_str(),
                        b.wall > 0 ? a.wall / b.wall : 0.0, b.cpu > 0 ? a.cpu / b.cpu : 0.0);
        }
    }
    // Judged on the product where it runs natively, else on the native build.
    std::string direct = qemu ? "update -D (native)" : "update -D (i386)";
    std::string indirect = qemu ? "update (native)" : "update (i386)";
    const std::string cat = "cat image > device";
    if (med.count(direct) && med.count(indirect) && med.count(cat)) {
        const Sample &d = med[direct], &i = med[indirect], &c = med[cat];
        auto line = [](const char *what, double value, double limit) {
            std::printf("  %-44s %6.2f  (at most %.2f: %s)\n", what, value, limit,
                        value > 0 && value <= limit ? "met" : "NOT met");
        };
        std::printf("\ntargets, %s:\n", qemu ? "native build (the product needs qemu here)"
                                             : "the product (i386, run natively)");
        line("update -D wall / cat wall", c.wall > 0 ? d.wall / c.wall : -1, 1.1);
        line("update -D cpu / cat cpu", c.cpu > 0 ? d.cpu / c.cpu : -1, 1.5);
        line("update wall / update -D wall", d.wall > 0 ? i.wall / d.wall : -1, 1.6);
        line("peak MiB of update -D", double(d.rss_kib) / 1024, 1.0);
        line("peak MiB of update", double(i.rss_kib) / 1024, 1.0);
    }
    const std::string signed_direct = qemu ? "update -D signed (qemu)" : "update -D signed (i386)";
    const std::string plain_direct = qemu ? "update -D (i386, qemu)" : "update -D (i386)";
    if (med.count(signed_direct) && med.count(plain_direct) && med.count("b2sum image")) {
        const Sample &sd = med[signed_direct], &pd = med[plain_direct], &b = med["b2sum image"];
        double limit = pd.wall + 1.5 * b.wall;
        std::printf("\nsigned, %s:\n", qemu ? "under qemu" : "the product (i386)");
        std::printf("  %-44s %6.2f  (at most %.2f = update -D + 1.5 x b2sum: %s)\n",
                    "update -D signed wall s", sd.wall, limit,
                    sd.wall > 0 && sd.wall <= limit ? "met" : "NOT met");
        std::printf("  %-44s %6ld  (update -D: %ld)\n", "peak KiB of update -D signed", sd.rss_kib,
                    pd.rss_kib);
    }
    int failed = 0;
    for (const Variant &v : variants)
        for (const Sample &x : v.samples)
            failed += !x.ok;
    std::printf("\n%d run(s) FAILED (exit status or bytes on the device); medians leave them out\n",
                failed);
    return failed == 0 ? 0 : 1;
}
