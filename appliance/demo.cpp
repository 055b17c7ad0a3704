// nimbo_demo: one update and one swap on a simulated appliance, explained
// step by step for someone new to the project. Run as root:
//   nimbo_demo [directory holding update and swap]

#include "appliance.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef NIMBO_PRODUCT_BIN_DIR
#define NIMBO_PRODUCT_BIN_DIR ""
#endif

namespace {

// The image the demo installs. Its version must not be one that update
// refuses as too old (nimbotex.2.2.5 and older are), and swap finds a
// partition's kernel and initrd by the texts "bzImage" and "RFS" in their
// names.
constexpr const char *kNewVersion = "nimbotex.2.2.6";
constexpr const char *kOldVersion = "nimbotex.2.2.5";
constexpr unsigned kImageKib = 4096;

struct Workdir {
    std::string path;
    ~Workdir() {
        if (!path.empty()) {
            std::string cmd = "rm -rf '" + path + "'";
            (void)!system(cmd.c_str());
        }
    }
};

void step(int n, const char *title) {
    printf("\n==== Step %d: %s ====\n\n", n, title);
}

void say(const char *text) {
    printf("%s\n", text);
}

// Prints text indented, so that it stands apart from the explanations. A
// carriage return (progress lines overwrite each other on a console) is
// shown as <CR> and a line break here.
void show(const char *label, const std::string &text) {
    printf("  --- %s ---\n", label);
    if (text.empty()) {
        printf("  | (empty)\n");
        return;
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        bool cr = end < text.size() && text[end] == '\r';
        printf("  | %s%s\n", text.substr(pos, end - pos).c_str(), cr ? "<CR>" : "");
        pos = end + 1;
    }
    if (text.back() != '\n')
        printf("  (no line end after the last line)\n");
}

void show_status(const ApplianceResult &r) {
    if (r.timed_out)
        printf("  => did not finish in time and was killed\n");
    else if (r.status >= 0 && WIFEXITED(r.status))
        printf("  => exit code %d\n", WEXITSTATUS(r.status));
    else if (r.status >= 0 && WIFSIGNALED(r.status))
        printf("  => ended by signal %d\n", WTERMSIG(r.status));
    else
        printf("  => could not be run\n");
}

bool put(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return false;
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    return fclose(f) == 0 && ok;
}

// A partition's top directory: version file, kernel and initrd.
bool fill_tree(const std::string &dir, const char *version) {
    std::string v = version + 9; // "2.2.6"
    return mkdir(dir.c_str(), 0755) == 0 && put(dir + "/.version", std::string(version) + "\n") &&
           put(dir + "/bzImage-" + v, "kernel " + v + "\n") &&
           put(dir + "/RFS-" + v + ".gz", "initial RAM disk " + v + "\n");
}

// The image is padded to its full size, as a real one would be.
bool make_image(const std::string &tree, const std::string &image) {
    FILE *f = fopen(image.c_str(), "w");
    if (!f)
        return false;
    fclose(f);
    if (truncate(image.c_str(), off_t(kImageKib) * 1024) != 0)
        return false;
    std::string cmd = "/sbin/mke2fs -q -F -t ext2 -d '" + tree + "' '" + image + "'";
    return system(cmd.c_str()) == 0;
}

std::string read_host_file(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
            text.append(buf, n);
        fclose(f);
    }
    return text;
}

bool readable(const std::string &path) {
    return access(path.c_str(), R_OK) == 0;
}

} // namespace

int main(int argc, char **argv) {
    std::string bin_dir = argc > 1 ? argv[1] : NIMBO_PRODUCT_BIN_DIR;
    ApplianceOptions opt = appliance_default_options();
    if (!bin_dir.empty()) {
        opt.update_bin = bin_dir + "/update";
        opt.swap_bin = bin_dir + "/swap";
    }
    if (!readable(opt.update_bin) || !readable(opt.swap_bin)) {
        fprintf(stderr, "nimbo_demo: cannot find update and swap (looked for %s and %s)\n",
                opt.update_bin.c_str(), opt.swap_bin.c_str());
        return 2;
    }
    if (geteuid() != 0) {
        fprintf(stderr, "nimbo_demo: run me as root (namespaces, loop devices, mounts)\n");
        return 2;
    }

    say("This demo installs a new software image on a simulated appliance and");
    say("makes the appliance boot it next, with the real programs:");
    printf("  update: %s\n  swap:   %s\n", opt.update_bin.c_str(), opt.swap_bin.c_str());

    step(1, "a software image on an FTP server");
    say("A software image (SWI) is a whole ext2 file system, written byte for byte");
    say("onto the standby partition. Ours holds what swap and the boot loader need");
    say("at the partition's top: the version file .version, a kernel (swap finds it");
    say("by \"bzImage\" in its name) and an initial RAM disk (found by \"RFS\").");
    Workdir work;
    char templ[] = "/tmp/nimbo-demo.XXXXXX";
    if (!mkdtemp(templ)) {
        perror("nimbo_demo: mkdtemp");
        return 1;
    }
    work.path = templ;
    const std::string ftp_dir = work.path + "/ftp";
    const std::string image = ftp_dir + "/" + kNewVersion;
    if (!fill_tree(work.path + "/new", kNewVersion) ||
        !fill_tree(work.path + "/old", kOldVersion) || mkdir(ftp_dir.c_str(), 0755) != 0 ||
        !make_image(work.path + "/new", image)) {
        fprintf(stderr, "nimbo_demo: cannot build the test image in %s\n", work.path.c_str());
        return 1;
    }
    printf("\n  image file %s: %u KiB, made with mke2fs -t ext2 -d,\n", kNewVersion, kImageKib);
    printf("  holding .version (\"%s\"), bzImage-%s and RFS-%s.gz\n", kNewVersion, kNewVersion + 9,
           kNewVersion + 9);
    say("\nThe vendor signs the image with minisign: a key pair made once (-W: this");
    say("demo's secret key has no password), then a signature file beside the image.");
    const std::string key = work.path + "/vendor";
    std::string sign = "minisign -G -W -p '" + key + ".pub' -s '" + key + ".key' >/dev/null && " +
                       "minisign -S -s '" + key + ".key' -m '" + image + "' >/dev/null";
    if (system(sign.c_str()) != 0) {
        fprintf(stderr, "nimbo_demo: cannot sign the test image (is minisign installed?)\n");
        return 1;
    }
    printf("\n  $ minisign -G -p vendor.pub -s vendor.key\n  $ minisign -Sm %s -s vendor.key\n",
           kNewVersion);
    show("vendor.pub", read_host_file(key + ".pub"));
    show((std::string(kNewVersion) + ".minisig").c_str(), read_host_file(image + ".minisig"));

    step(2, "the appliance");
    say("The appliance is a small Linux system of its own: busybox as the shell and");
    say("tools, /dev/hda1 (active partition, mounted at /active_partition, running");
    printf("%s) and /dev/hda2 (standby partition, mounted at /standby_partition),\n", kOldVersion);
    say("the RAM disk dev/ram1, the marker files /.active_partition and");
    say("/.standby_partition, /.smsc91c111, a stand-in for the boot-loader installer");
    say("/sbin/lilo that records what it is given, and a stand-in for process 1 that");
    say("records the signals it gets. vsftpd serves the image on 127.0.0.1:21.");
    opt.active_tree = work.path + "/old";
    opt.standby_kib = 8192;
    opt.ftp_dir = ftp_dir;
    std::string err;
    Appliance *sb = appliance_create(opt, &err);
    if (!sb) {
        fprintf(stderr, "nimbo_demo: cannot set up the appliance: %s\n", err.c_str());
        return 1;
    }
    say("The running system trusts the vendor's key: its public key file lies in");
    say("/etc/update/keys/, so update installs only an image that key signed.");
    if (appliance_run(sb, {"mkdir", "-p", "/etc/update/keys"}).status != 0 ||
        !appliance_write_file(sb, "/etc/update/keys/vendor.pub", read_host_file(key + ".pub"))) {
        fprintf(stderr, "nimbo_demo: cannot place the trusted key\n");
        appliance_destroy(sb);
        return 1;
    }
    show("ls -la / (inside)", appliance_run(sb, {"ls", "-la", "/"}).out);
    show("/.standby_partition", appliance_read_file(sb, "/.standby_partition"));
    show("ls /active_partition", appliance_run(sb, {"ls", "/active_partition"}).out);

    step(3, "update fetches and installs the image");
    say("update logs in to the FTP server as \"anonymous\", fetches the signature file");
    say("into memory and checks that the trusted key made it for this image name,");
    say("downloads the image into the RAM disk (indirect mode, the default), unmounts");
    say("the standby partition, copies the RAM disk onto /dev/hda2 while it hashes");
    say("what it copies, checks the signature against that hash, mounts the partition");
    say("again and checks the version of what it installed. A signature that does");
    say("not fit ends the run with 65 and no verdict. -d turns its console messages");
    say("on; its progress lines end in a carriage return and overwrite each other on");
    say("a console.");
    const std::vector<std::string> update_cmd = {"update",    "-d", "-h",
                                                 "127.0.0.1", "-f", kNewVersion};
    printf("\n  $");
    for (const std::string &a : update_cmd)
        printf(" %s", a.c_str());
    printf("\n");
    ApplianceResult r = appliance_run(sb, update_cmd, 300);
    show("update's console", r.out);
    if (!r.err.empty())
        show("update's error output (should be empty)", r.err);
    show_status(r);
    say("\n(The download percentage counts against a fixed 4,096,000 bytes, as update");
    say("cannot know the image's size in advance: a 4 MiB image ends at 102%.)");
    say("\nupdate leaves its verdict in the one-line state file; swap acts on it.");
    show("/cfg/.update.state", appliance_read_file(sb, "/cfg/.update.state"));
    bool exists = false;
    std::string version = appliance_read_file(sb, "/standby_partition/.version", &exists);
    show("/standby_partition/.version", exists ? version : "(missing)");

    step(4, "swap makes the standby partition the next one to boot");
    say("swap checks the state file, lists both partitions to find kernel and");
    say("initrd, writes the boot-loader configuration /.lilo.conf, runs");
    say("/sbin/lilo -C /.lilo.conf, removes its temporary files and sends signal 30");
    say("(SIGPWR) to process 1, which restarts the appliance.");
    printf("\n  $ swap\n");
    r = appliance_run(sb, {"swap"}, 300);
    show("swap's console", r.out);
    if (!r.err.empty())
        show("swap's error output", r.err);
    show_status(r);
    std::string args = appliance_read_file(sb, "/var/lilo/args", &exists);
    show("arguments /sbin/lilo was given", exists ? args : "(lilo did not run)");
    std::string conf = appliance_read_file(sb, "/var/lilo/conf", &exists);
    show("the configuration lilo read (/.lilo.conf)", exists ? conf : "(none)");
    std::string missing = appliance_read_file(sb, "/var/lilo/missing", &exists);
    if (exists)
        show("boot files named there that do not exist", missing);
    std::vector<int> sigs = appliance_init_signals(sb);
    std::string got;
    for (int s : sigs)
        got += std::to_string(s) + (s == SIGPWR ? " (SIGPWR: restart)" : "") + "\n";
    show("signals process 1 received", got.empty() ? "(none)" : got);

    say("\nThat is one update: the appliance would now boot the \"new\" entry,");
    say("the image from the standby partition; \"old\" still boots the previous one.");
    appliance_destroy(sb);
    return 0;
}
