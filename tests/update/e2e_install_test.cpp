// Whole runs against vsftpd in the appliance sandbox: direct and indirect
// installation in every FTP mode, and the faults that end a run after the
// image has reached the device.
#include "e2e_util.h"

namespace {

const std::string failed = "\n  update: The application is terminated through an error\n\n";

class UpdateInstall : public ::testing::Test {
  protected:
    void start(unsigned standby_kib = 8192) {
        ASSERT_FALSE(ftp_.path.empty());
        SandboxOptions o = update_options();
        o.vsftpd = true;
        o.ftp_dir = ftp_.path;
        o.standby_kib = standby_kib;
        sb_ = make_sandbox(o);
        ASSERT_TRUE(sb_);
    }
    // Puts an image on the server under name; returns its bytes.
    std::string serve(const std::string &name, const ImageRecipe &recipe) {
        std::string bytes = make_image(ftp_.path + "/" + name, recipe);
        EXPECT_FALSE(bytes.empty()) << name;
        return bytes;
    }
    SandboxResult run(std::vector<std::string> args) {
        args.insert(args.begin(), "update");
        return sandbox_run(sb_.get(), args, 180);
    }
    std::string state() {
        return sandbox_read_file(sb_.get(), "/cfg/.update.state");
    }
    std::string device(size_t n) {
        return read_host_file(sandbox_partition_image(sb_.get(), 2), n);
    }
    bool standby_mounted() {
        return sandbox_run(sb_.get(), {"cat", "/proc/mounts"})
                   .out.find("/dev/hda2 /standby_partition ext2 rw") != std::string::npos;
    }
    TempDir ftp_;
    SandboxPtr sb_;
};

struct InstallCase {
    const char *name;
    std::vector<std::string> args;
    std::string mode_line; // first state-file message, seen in the console's header
};

TEST_F(UpdateInstall, EveryModeDirectAndIndirect) {
    start();
    const InstallCase cases[] = {
        {"DirectAuto", {"-D"}, "  update: FTP mode..: auto\n  update: Download..: direct\n"},
        {"DirectActive",
         {"-D", "-m", "1", "-u", "nimbo", "-p", "nimbo-secret"},
         "  update: FTP mode..: active\n  update: Download..: direct\n"},
        {"DirectPassive",
         {"-D", "-m", "2"},
         "  update: FTP mode..: passive\n  update: Download..: direct\n"},
        {"IndirectAuto",
         {"-u", "nimbo", "-p", "nimbo-secret"},
         "  update: FTP mode..: auto\n  update: Download..: indirect\n"},
        {"IndirectActive",
         {"-m", "1"},
         "  update: FTP mode..: active\n  update: Download..: indirect\n"},
        {"IndirectPassive",
         {"-m", "2", "-u", "nimbo", "-p", "nimbo-secret"},
         "  update: FTP mode..: passive\n  update: Download..: indirect\n"},
    };
    unsigned n = 0;
    for (const InstallCase &c : cases) {
        // A fresh file system per run (new UUID), of a size that is no
        // multiple of 1024, so a stale device cannot pass.
        std::string name = std::string("swi-") + c.name;
        std::string version = "nimbotex.3.0." + std::to_string(n++) + "\n";
        std::string image = serve(name, {version, 1024, 517 + 100 * n});
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-d", "-f", name});
        SandboxResult r = run(args);

        EXPECT_TRUE(exited_with(r, 0)) << c.name << ": " << r.status << "\n" << r.out;
        EXPECT_EQ(state(), "You can swap the system\n") << c.name;
        EXPECT_NE(r.out.find(c.mode_line), std::string::npos) << c.name << r.out;
        // 1,049,000-odd bytes against 4,096,000: 25.
        EXPECT_NE(r.out.find("  update: Download progress 25%\n"), std::string::npos)
            << c.name << r.out;
        bool indirect = c.args.empty() || c.args[0] != "-D";
        if (indirect) {
            // The final installation line comes right before the verdict.
            EXPECT_NE(r.out.find("  update: Installation progress 100%\n"
                                 "  update: You can swap the system\n"),
                      std::string::npos)
                << c.name << r.out;
        } else {
            EXPECT_EQ(r.out.find("Installation progress"), std::string::npos) << c.name;
        }
        EXPECT_TRUE(r.out.ends_with("  update: You can swap the system\n"
                                    "\n  update: The application is terminated\n\n"))
            << c.name << r.out;
        EXPECT_TRUE(device_holds(device(image.size()), image)) << c.name;
        EXPECT_TRUE(standby_mounted()) << c.name;
        EXPECT_EQ(sandbox_read_file(sb_.get(), "/standby_partition/.version"), version) << c.name;
    }
}

TEST_F(UpdateInstall, InstalledVersionChecks) {
    start();
    struct {
        const char *name;
        std::string version;
        std::vector<std::string> args;
        int exit;
        std::string state;
    } cases[] = {
        {"OldVersionInside", "nimbotex.2.2.5\n", {"-D"}, 4, "Please download a newer SWI\n"},
        {"OldVersionIndirect", "nimbotex.1.0.2", {}, 4, "Please download a newer SWI\n"},
        {"OldVersionForced", "nimbotex.2.2.5\n", {"-F"}, 0, "You can swap the system\n"},
        {"NoVersionFile", "", {"-D"}, 21, "Error 21 (.version)\n"},
        {"ShortVersionPasses", "nimbotex.2", {}, 0, "You can swap the system\n"},
    };
    for (auto &c : cases) {
        std::string image = serve(c.name, {c.version, 1024, 0});
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-f", c.name});
        SandboxResult r = run(args);
        EXPECT_TRUE(exited_with(r, c.exit)) << c.name << ": " << r.status;
        EXPECT_EQ(state(), c.state) << c.name;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_TRUE(device_holds(device(image.size()), image)) << c.name;
        EXPECT_TRUE(standby_mounted()) << c.name;
    }
}

TEST_F(UpdateInstall, ImageThatCannotBeMountedGives42) {
    // ext4 features the ext2 mount refuses.
    std::string image = serve("swi-ext4", {"nimbotex.3.1.0\n", 2048, 0, "ext4"});
    for (const char *how : {"-D", "-F"}) {
        start();
        SandboxResult r = run({how, "-d", "-f", "swi-ext4"});
        EXPECT_TRUE(exited_with(r, 42)) << how << ": " << r.status;
        EXPECT_EQ(state(), "Error 42 (Exit)\n") << how;
        EXPECT_NE(r.out.find("  update: Cannot mount the target partition\n" + failed),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(device_holds(device(image.size()), image)) << how;
        EXPECT_FALSE(standby_mounted()) << how;
        sb_.reset();
    }
}

TEST_F(UpdateInstall, DeviceSmallerThanTheImage) {
    std::string image = serve("swi-big", {"nimbotex.3.2.0\n", 2048, 0});
    struct {
        const char *name;
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        // Direct: the download itself runs out of device, and the client
        // gives no text for that.
        {"Direct",
         {"-D"},
         "  update: Download stopped: the target took less data or the data connection failed\n"},
        // Indirect: the RAM disk takes it all, the copy onto the device falls short.
        {"Indirect",
         {},
         "  update: An error occured while the SWI was copied into the target partition\n"},
    };
    for (auto &c : cases) {
        start(1024);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-d", "-m", "2", "-f", "swi-big"});
        SandboxResult r = run(args);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << c.name << r.out;
        // Half a file system reached the device: it cannot be mounted again.
        EXPECT_TRUE(exited_with(r, 42)) << c.name << ": " << r.status;
        EXPECT_EQ(state(), "Error 42 (Exit)\n") << c.name;
        // The device is full with the image's first megabyte.
        EXPECT_TRUE(device_holds(device(1024 * 1024), image.substr(0, 1024 * 1024))) << c.name;
        sb_.reset();
    }
}

} // namespace
