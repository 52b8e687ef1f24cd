// The command line seen from outside: texts, statuses, and the port the daemon ends up on.
#include <signal.h>
#include <syslog.h>

#include "e2e/daemon_test.h"

namespace lmrtest {
namespace {

const std::string kHelp =
    "Usage: server [OPTIONS]\n"
    "Options:\n"
    "  -D, --background      Run in the background as a daemon.\n"
    "  -p, --port [PORT]     Specify the port number (default: 9).\n"
    "  --pidfile [FILE]      Create a PID file for the process.\n"
    "  --key-file=FILE       Accept only commands proven with a key in FILE.\n"
    "  --sleep=VERB          On SUSPEND, run systemctl VERB (default: suspend).\n"
    "  --ignore-inhibitors   Sleep even while an inhibitor blocks sleep.\n"
    "  --check               Check the key file (--key-file) and exit.\n"
    "  --wake-interface=IF   Relay wakes on interface IF only (default: on every one).\n"
    "  --ipv6                Also listen on IPv6 (a second socket, same port).\n"
    "  -h, --help            Display this help message.\n"
    "The manual is lomarind-server(8): the protocol, keyed mode, the log, the unit.\n";

using CommandLine = DaemonTest;

TEST_F(CommandLine, HelpIsExactOnStandardOutputAndEndsOptionReading) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"}, {"--help"}, {"-h", "-x"}, {"-p", "80", "-h", "-p", "0"}}) {
    start_server(args);
    EXPECT_EQ(exit_status(), 0) << args.back();
    EXPECT_EQ(server_->standard_output(), kHelp);
    EXPECT_EQ(server_->standard_error(), "");
  }
  EXPECT_EQ(log_->received(), 0U) << "the log must not be opened before the options are read";
}

TEST_F(CommandLine, BadPortsAndSleepVerbsAreRefusedBeforeTheLogOpens) {
  for (const char* port : {"0", "65536", "-5", "abc", "", "4294967305", "99999999999999999999"}) {
    start_server({"-p", port});
    EXPECT_EQ(exit_status(), 1) << port;
    EXPECT_EQ(server_->standard_error(), "Invalid port number.\n") << port;
    EXPECT_EQ(server_->standard_output(), "") << port;
  }
  start_server({"--port=0"});
  EXPECT_EQ(exit_status(), 1);
  EXPECT_EQ(server_->standard_error(), "Invalid port number.\n");
  start_server({"--sleep=hibernation"});
  EXPECT_EQ(exit_status(), 1);
  EXPECT_TRUE(server_->standard_error().starts_with("Invalid sleep verb"))
      << server_->standard_error();
  EXPECT_EQ(log_->received(), 0U);
}

TEST_F(CommandLine, BadOptionsGiveTheParsersDiagnosticThenInvalidOption) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-x"}, {"-p"}, {"--pidfile"}, {"--bogus"}, {"-x", "-h"}}) {
    start_server(args);
    EXPECT_EQ(exit_status(), 1) << args.front();
    const std::string error = server_->standard_error();
    // getopt_long's own line first, then ours.
    EXPECT_NE(error.find(LMR_SERVER_BINARY), std::string::npos) << error;
    EXPECT_TRUE(error.ends_with("\nInvalid option\n")) << error;
    EXPECT_EQ(server_->standard_output(), "") << "no help text on errors";
  }
  EXPECT_EQ(log_->received(), 0U);
}

TEST_F(CommandLine, PortConversionStopsAtTheFirstNonDigitAndLaterOptionsWin) {
  const std::vector<std::pair<std::vector<std::string>, std::uint16_t>> cases = {
      {{}, 9},
      {{"-p", "80x"}, 80},
      {{"-p", "+81"}, 81},
      {{"-p", " 82"}, 82},
      {{"-p", "65535"}, 65535},
      {{"-p", "7", "-p", "83"}, 83},
      {{"--port=84"}, 84},
      {{"-p85"}, 85},
      {{"--port", "86"}, 9},  // only "--port=PORT" attaches an argument
      {{"ignored", "-p", "87", "words"}, 87},
  };
  for (const auto& [args, port] : cases) {
    Process& server = start_server(args);
    EXPECT_TRUE(wait_until_bound(port, 5s)) << "not bound to " << port;
    server.signal(SIGTERM);
    EXPECT_EQ(exit_status(), 0);
    EXPECT_FALSE(udp_port_bound(port)) << "the daemon should be gone";
  }
}

TEST_F(CommandLine, StartsAndLogsAsTheDaemonFacility) {
  Process& server = start_serving(port_);
  expect_logged_once(kStarting, LOG_INFO, server.pid());
}

}  // namespace
}  // namespace lmrtest
