// The station behind a line as the kernel hands over a fresh USB serial
// adapter (canonical, echoing, mapping CR and LF): the relay, which replaces
// only the control modes, publishes nothing there; once the package's own
// line set-up has run on the same link, it publishes every period. The
// set-up is run as the installed unit and the rule that anemobus-station-rule
// writes would run it, their text read from an installation into a
// temporary prefix, never copied here.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e_rig.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using relay_test::resetting;
using relay_test::Rig;
using test_support::Child;

const std::string no_answer = "Could not wake up station: no bytes received\n";
const std::string reading = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rest of the first line of text that starts with key.
std::string value_after(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(key, 0) == 0) return line.substr(key.size());
    return {};
}

// An unquoted command line split into words, as systemd and udev split one;
// `variable` stands for the words of `value`.
std::vector<std::string> command_words(const std::string& text, const std::string& variable,
                                       const std::string& value) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        if (word != variable) {
            words.push_back(word);
            continue;
        }
        std::istringstream expanded(value);
        for (std::string part; expanded >> part;) words.push_back(part);
    }
    return words;
}

// The package installed into a temporary prefix, removed with it.
class Installation {
public:
    Installation() {
        Child install(ANEMOBUS_CMAKE, {"--install", ANEMOBUS_BIN_DIR, "--prefix", work_ + "/usr"});
        installed_ = install.wait_exit(60000ms) == 0;
        report_ = install.describe();
    }
    bool installed() const { return installed_; }
    const std::string& report() const { return report_; }

    // What the unit runs before each start, with -d in the installed
    // defaults file pointed at the link, as an administrator repoints it.
    std::vector<std::string> unit_set_up(const std::string& link) const {
        const std::string unit = read_file(work_ + "/usr/lib/systemd/system/anemobus.service");
        std::string options =
            value_after(read_file(work_ + "/usr/etc/default/anemobus"), "ANEMOBUS_OPTS=");
        if (options.size() >= 2 && options.front() == '"')
            options = options.substr(1, options.size() - 2);
        const std::string station = "/dev/anemobus-station";
        const auto at = options.find(station);
        EXPECT_NE(at, std::string::npos) << options;
        if (at != std::string::npos) options.replace(at, station.size(), link);
        return command_words(value_after(unit, "ExecStartPre="), "$ANEMOBUS_OPTS", options);
    }

    // What the rule that the installed anemobus-station-rule prints runs
    // when udev names the link's device node, udevadm answering for an
    // adapter with a serial number.
    std::vector<std::string> rule_set_up(const std::string& link) const {
        const std::string bin = work_ + "/bin";
        ::mkdir(bin.c_str(), 0755);
        std::filesystem::copy_file(ANEMOBUS_FAKE_UDEVADM, bin + "/udevadm",
                                   std::filesystem::copy_options::overwrite_existing);
        std::ofstream(work_ + "/properties")
            << "DEVNAME=/dev/ttyUSB0\nSUBSYSTEM=tty\nID_BUS=usb\nID_VENDOR_ID=0403\n"
               "ID_MODEL_ID=6001\nID_MODEL=FT232R_USB_UART\nID_SERIAL_SHORT=A50285BI\n";
        ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
        ::setenv("FAKE_PROPERTIES", (work_ + "/properties").c_str(), 1);
        ::setenv("FAKE_LOG", (work_ + "/udevadm.log").c_str(), 1);
        Child rule(work_ + "/usr/sbin/anemobus-station-rule", {"--print", link});
        EXPECT_EQ(rule.wait_exit(10000ms), 0) << rule.describe();
        const std::string key = "RUN+=\"";
        const std::string text = rule.out();
        const auto from = text.find(key);
        if (from == std::string::npos) return {};
        const auto to = text.find('"', from + key.size());
        return command_words(text.substr(from + key.size(), to - from - key.size()), "$devnode",
                             link);
    }

private:
    test_support::TempDir folder_{"fresh"};
    std::string work_ = folder_.path(), report_;
    bool installed_ = false;
};

// Several polls, each ending with no answer at all, nothing published.
void expect_silence(Rig& rig) {
    ASSERT_TRUE(rig.ready()) << rig.describe();
    ASSERT_TRUE(
        test_support::wait_until([&] { return rig.relay().count_err(no_answer) >= 2; }, 6000ms))
        << rig.describe();
    EXPECT_EQ(rig.weather_count(), 0) << rig.describe();
    // The line's own doing: each line feed reached the station as CR LF.
    EXPECT_GT(rig.sim().count_err("<- 0d 0a\n"), 0) << rig.describe();
    EXPECT_EQ(rig.sim().count_err("<- 0a\n"), 0) << rig.describe();
    rig.relay().signal(SIGINT);
    EXPECT_EQ(rig.relay().wait_exit(5000ms), 0) << rig.describe();
    std::istringstream lines(rig.relay().err());
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line + "\n" == no_answer || line + "\n" == resetting) << line;
}

void expect_readings_after(Rig& rig, const std::vector<std::string>& set_up) {
    ASSERT_FALSE(set_up.empty());
    Child command(set_up.front(), {set_up.begin() + 1, set_up.end()});
    ASSERT_EQ(command.wait_exit(10000ms), 0) << command.describe();
    EXPECT_EQ(command.err(), "");
    rig.restart_relay({});
    ASSERT_TRUE(rig.next_weather()) << rig.describe();
    ASSERT_TRUE(rig.next_weather()) << rig.describe();
    for (const auto& m : rig.messages()) EXPECT_EQ(m, reading);
    EXPECT_EQ(rig.relay().err(), "") << rig.describe();
}

// One installation for both (installing twice at once would race on the
// files the installation configures in the build tree).
TEST(FreshAdapter, ReadingsFlowOnceTheUnitOrTheRuleHasPreparedTheLine) {
    const Installation installation;
    ASSERT_TRUE(installation.installed()) << installation.report();
    for (const bool by_rule : {false, true}) {
        SCOPED_TRACE(by_rule ? "set up as the rule does" : "set up as the unit does");
        Rig rig({"--line-mode", "fresh", "--fixed-raw", "30000,725,10,180"}, {});
        expect_silence(rig);
        if (HasFatalFailure()) return;
        expect_readings_after(rig, by_rule ? installation.rule_set_up(rig.link())
                                           : installation.unit_set_up(rig.link()));
    }
}

}  // namespace
