// Key files as their users write them: what a file yields (keys, names, ids), what it is
// refused for (the reason names the file and the line, never a key), and the client's
// keygen FILE HOST, which adds a line to one. Each test works in a directory of its own.
#include "key/key_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/key_files.h"

namespace {

// Two keys as a user would paste them; K0 is the manual's example key 00 01 ... 1f.
const std::string k0 = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
const std::string k1 = "c0ffee00c0ffee01c0ffee02c0ffee03c0ffee04c0ffee05c0ffee06c0ffee07";
const std::string kBom = "\xEF\xBB\xBF";

// The key that 64 hex digits in either case stand for, decoded here and not by the code.
Key from_hex(const std::string& hex) {
  Key key;
  for (std::size_t i = 0; i < key.bytes.size(); ++i) {
    key.bytes[i] = static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return key;
}

// A key file's worth of keys as (name, hex digits), in the file's order.
using Expected = std::vector<std::pair<std::string, std::string>>;

void expect_keys(const KeySet& keys, const Expected& expected, const std::string& what) {
  ASSERT_EQ(keys.keys.size(), expected.size()) << what;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Key key = from_hex(expected[i].second);
    EXPECT_EQ(keys.keys[i].name, expected[i].first) << what;
    EXPECT_EQ(keys.keys[i].key.bytes, key.bytes) << what << ", key " << i;
    EXPECT_EQ(keys.keys[i].id, key_id(key)) << what << ", key " << i;
  }
}

std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

std::string contents(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

class KeyFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lmr-keys-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // A file named name in the test's directory holding content, with mode.
  std::string file(const std::string& name, const std::string& content, mode_t mode = 0600) {
    std::string path = lmrtest::write_key_file(dir_ + "/" + name, content, mode);
    EXPECT_FALSE(path.empty()) << name;
    return path;
  }

  // Reads path into a key set that held a key before, which must go whatever the outcome.
  std::string read(const std::string& path, KeySet& keys, bool distinct_keys = true) {
    EXPECT_EQ(read_key_file(file("held", k1 + " held\n"), keys, true), "");
    return read_key_file(path, keys, distinct_keys);
  }

  std::string dir_;
};

TEST_F(KeyFile, YieldsEachLinesKeyNameAndIdInOrder) {
  const std::string name64 = std::string("aZ09.:_@+-").append(54, 'x');
  const struct {
    std::string what, content;
    bool distinct;
    Expected keys;
  } rows[] = {
      {"a key alone is named default", k0 + "\n", true, {{"default", k0}}},
      {"blanks around, tabs, comments, blank lines, no last line feed",
       "  " + k0 + "\tlaptop \t\n\t# a comment\n\n \t\n" + k1 + " desk",
       true,
       {{"laptop", k0}, {"desk", k1}}},
      {"upper-case digits", upper(k1) + " desk\n", true, {{"desk", k1}}},
      {"a name of 64 characters", k0 + " " + name64 + "\n", true, {{name64, k0}}},
      {"the client's file may give two hosts one key",
       k0 + " a\n" + k0 + " b\n",
       false,
       {{"a", k0}, {"b", k0}}},
      {"CR LF line ends and a byte-order mark",
       kBom + k0 + " laptop \r\n\r\n# a comment\r\n" + k1 + "\r\n",
       true,
       {{"laptop", k0}, {"default", k1}}},
  };
  for (const auto& row : rows) {
    KeySet keys;
    EXPECT_EQ(read(file("keys", row.content), keys, row.distinct), "") << row.what;
    expect_keys(keys, row.keys, row.what);
  }
}

// The word wake after a name, and only that word, lets the key ask for a relayed wake.
TEST_F(KeyFile, OnlyTheWordWakeAfterANameLetsAKeyWake) {
  KeySet keys;
  ASSERT_EQ(read(file("keys", k0 + " laptop wake\n" + k1 + "\tdesk \t wake \r\n"), keys), "");
  ASSERT_EQ(keys.keys.size(), 2U);
  EXPECT_TRUE(keys.keys[0].may_wake && keys.keys[1].may_wake);
  EXPECT_EQ(keys.keys[1].name, "desk");
  ASSERT_EQ(read(file("plain", k0 + " wake\n"), keys), "");
  EXPECT_FALSE(keys.keys.at(0).may_wake) << "a name alone is a name, even this one";
  for (const std::string_view after : {"sleep", "wake wake", "Wake"}) {
    std::string line = k0;
    line.append(" laptop ").append(after).append("\n");
    std::string reason = dir_;
    reason.append("/other, line 1: has '").append(after).append("' after the name, where only ");
    EXPECT_EQ(read(file("other", line), keys), reason.append("the word wake may be"));
    EXPECT_TRUE(keys.empty());
  }
}

TEST_F(KeyFile, RefusalNamesTheFileAndLineNeverAKeyAndLeavesNoKey) {
  const struct {
    std::string what, content;
    bool distinct;
    int line;  // 0: the reason is about the whole file
    std::string reason;
  } rows[] = {
      {"65 digits", k0 + "0 a\n", true, 1, "does not start with 64 hex digits"},
      {"a name of 65 characters", k0 + " " + std::string(65, 'n'), true, 1, "has a name that"},
      {"a name twice, on the next line", "# c\n" + k0 + " a\n" + k1 + " a\n", true, 3,
       "the name a, the same as on line 2"},
      {"two keys without a name", k0 + "\n\n" + k1 + "\n", true, 3,
       "the name default, the same as on line 1"},
      {"one key twice in the daemon's file", k0 + " a\n" + k1 + " b\n" + k0 + " c\n", true, 3,
       "the key, the same as on line 1"},
      {"a carriage return alone ends no line", k0 + " a\r" + k1 + " b\r\n", true, 1,
       "carriage return"},
      {"two carriage returns", k0 + " a\r\r\n", true, 1, "carriage return"},
      {"a carriage return that ends the file", k0 + " a\n" + k1 + " b\r", true, 2,
       "carriage return"},
      {"a carriage return in a comment", "# a\rb\n" + k0 + "\n", true, 1, "carriage return"},
      {"a byte-order mark after the start", k0 + " a\n" + kBom + k1 + " b\n", true, 2,
       "does not start with 64 hex digits"},
      {"comments only", "# c\n\n", true, 0, "holds no key"},
  };
  for (const auto& row : rows) {
    KeySet keys;
    const std::string path = file("keys", row.content);
    const std::string reason = read(path, keys, row.distinct);
    const std::string where =
        row.line == 0 ? path + " " : path + ", line " + std::to_string(row.line) + ": ";
    EXPECT_TRUE(reason.starts_with(where)) << row.what << ": " << reason;
    EXPECT_NE(reason.find(row.reason), std::string::npos) << row.what << ": " << reason;
    EXPECT_EQ(reason.find(k0.substr(0, 8)), std::string::npos) << row.what << ": " << reason;
    EXPECT_TRUE(keys.empty()) << row.what;
  }
}

TEST_F(KeyFile, OnlyARegularFileClosedToOthersAndAtMost65536BytesIsRead) {
  const std::string good = file("good", k0 + "\n");
  const std::string link = dir_ + "/link";
  const std::string fifo = dir_ + "/fifo";
  const std::string sub = dir_ + "/sub";
  ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
  // A key line and a comment that fill the file to the limit, then one byte over.
  const std::string line = k0 + " a\n";
  const std::string full = line + "#" + std::string(65536 - line.size() - 2, 'x') + "\n";
  const std::string over = line + "#" + std::string(65536 - line.size() - 1, 'x') + "\n";
  const std::pair<std::string, std::string> refused[] = {
      {sub, " is not a regular file"},
      {fifo, " is not a regular file"},
      {link, " is a symbolic link"},
      {file("group", k0, 0640), " has mode 0640: group and others must have no permission"},
      {file("others", k0, 0604), " has mode 0604: group and others must have no permission"},
      {file("over", over), " is larger than 65536 bytes"},
  };
  for (const auto& [path, reason] : refused) {
    KeySet keys;
    EXPECT_EQ(read(path, keys), path + reason);
    EXPECT_TRUE(keys.empty()) << path;
  }
  KeySet keys;
  EXPECT_EQ(read(file("full", full), keys), "");
  expect_keys(keys, {{"a", k0}}, "a file of 65536 bytes");
}

// A controller's file with a key for each host of a fleet: the client reads it whole, the
// daemon (a file of its own controllers) refuses it as too large.
TEST_F(KeyFile, AFleetsFileOfTenThousandHostsIsReadByTheClientAndRefusedByTheDaemon) {
  constexpr int kHosts = 10000;
  std::string text;
  const auto key_of = [](int host) {
    std::string hex = std::to_string(1'000'000 + host);  // 7 digits, different for each host
    while (hex.size() < 64) {
      hex += hex.substr(0, std::min<std::size_t>(7, 64 - hex.size()));
    }
    return hex;
  };
  for (int host = 0; host < kHosts; ++host) {
    text += key_of(host) + " host-" + std::to_string(host) + ".example.net\n";
  }
  const std::string path = file("fleet", text);
  KeySet keys;
  EXPECT_NE(read_key_file(path, keys, false).find("is larger than 65536 bytes"), std::string::npos);
  EXPECT_TRUE(keys.empty());
  ASSERT_EQ(read_key_file(path, keys, false, kMostClientKeyFileBytes), "");
  ASSERT_EQ(keys.keys.size(), static_cast<std::size_t>(kHosts));
  for (const int host : {0, 4321, kHosts - 1}) {
    const NamedKey* found = keys.for_host("host-" + std::to_string(host) + ".example.net");
    ASSERT_NE(found, nullptr) << host;
    EXPECT_EQ(found->key.bytes, from_hex(key_of(host)).bytes) << host;
  }
  EXPECT_EQ(keys.for_host("host-10000.example.net"), nullptr);
}

TEST_F(KeyFile, AnotherUsersFileIsRefused) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "only root can give a file to another user";
  }
  const std::string path = file("nobodys", k0 + "\n");
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  KeySet keys;
  EXPECT_EQ(read(path, keys), path + " is owned by user 65534, not by user 0");
  EXPECT_TRUE(keys.empty());
}

TEST_F(KeyFile, AddHostKeyAppendsALineForTheHostAndTheSameKeyForTheDaemon) {
  // The last line has no line feed: the new one must still be a line of its own.
  const std::string path = file("client", k0 + " laptop");
  std::string daemon_line;
  ASSERT_EQ(add_host_key(path, "desk", "desk.example", daemon_line), "");
  KeySet client;
  ASSERT_EQ(read_key_file(path, client, false), "");
  ASSERT_EQ(client.keys.size(), 2U);
  EXPECT_EQ(client.keys[0].name, "laptop");
  EXPECT_EQ(client.keys[1].name, "desk");
  KeySet daemon;
  ASSERT_EQ(read_key_file(file("daemon", daemon_line + "\n"), daemon, true), "");
  ASSERT_EQ(daemon.keys.size(), 1U);
  EXPECT_EQ(daemon.keys[0].name, "desk.example");
  EXPECT_EQ(daemon.keys[0].key.bytes, client.keys[1].key.bytes);
}

TEST_F(KeyFile, AddHostKeyTakesAnEmptyFileAndRefusesAHostItHoldsAKeyFor) {
  std::string line;
  for (const std::string& empty : {std::string(), kBom}) {
    const std::string path = file("client", empty);
    ASSERT_EQ(add_host_key(path, "laptop", "laptop", line), "") << empty.size();
    KeySet keys;
    ASSERT_EQ(read_key_file(path, keys, false), "");
    ASSERT_EQ(keys.keys.size(), 1U);
    EXPECT_EQ(keys.keys[0].name, "laptop");
    const std::string before = contents(path);
    EXPECT_EQ(add_host_key(path, "laptop", "other", line),
              path + " already holds a key for laptop");
    EXPECT_EQ(contents(path), before);
    // The daemon-side name may be one the client's file already holds for another host.
    EXPECT_EQ(add_host_key(path, "desk", "laptop", line), "");
    ASSERT_EQ(unlink(path.c_str()), 0);
  }
}

TEST_F(KeyFile, AddHostKeyRefusesAHostNoKeyFileCouldName) {
  const std::string path = dir_ + "/client";
  std::string line;
  for (const std::string& host : {std::string(), std::string("a/b"), std::string(65, 'h')}) {
    const std::string reason = add_host_key(path, host, "name", line);
    EXPECT_EQ(reason, host + " cannot name a key: use letters, digits and .:_@+- (at most 64)");
    EXPECT_FALSE(std::filesystem::exists(path)) << host;
  }
}

}  // namespace
