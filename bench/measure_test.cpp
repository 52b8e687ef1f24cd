#include "measure.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>

namespace {

using lmrbench::median;
using lmrbench::percentile;

TEST(ProcReadings, StatusValueFindsTheNamedLineOnly) {
  const char* status =
      "Name:\tserver\nVmHWM:\t    3528 kB\nVmRSS:\t    3400 kB\n"
      "voluntary_ctxt_switches:\t12\nnonvoluntary_ctxt_switches:\t3\n";
  EXPECT_EQ(lmrbench::status_value(status, "VmHWM"), 3528);
  EXPECT_EQ(lmrbench::status_value(status, "VmRSS"), 3400);
  // "voluntary" is a suffix of "nonvoluntary": each must find its own line.
  EXPECT_EQ(lmrbench::status_value(status, "voluntary_ctxt_switches"), 12);
  EXPECT_EQ(lmrbench::status_value(status, "nonvoluntary_ctxt_switches"), 3);
  EXPECT_EQ(lmrbench::status_value(status, "VmPeak"), -1);
  EXPECT_EQ(lmrbench::status_value(status, "Vm"), -1);
}

TEST(ProcReadings, PrivatePagesAreCleanPlusDirtyAndNothingElse) {
  // Shared_* and Private_Hugetlb lines around them must not count.
  const char* rollup =
      "55d0c0a00000-7ffd5b5f2000 ---p 00000000 00:00 0                          [rollup]\n"
      "Rss:                1916 kB\nPss:                 732 kB\nPss_Anon:            112 kB\n"
      "Shared_Clean:       1620 kB\nShared_Dirty:          0 kB\nPrivate_Clean:       172 kB\n"
      "Private_Dirty:       124 kB\nReferenced:         1916 kB\nPrivate_Hugetlb:       8 kB\n";
  EXPECT_EQ(lmrbench::private_kb(rollup), 296);
  EXPECT_EQ(lmrbench::private_kb("Rss: 10 kB\nPrivate_Dirty: 4 kB\n"), -1);
  EXPECT_EQ(lmrbench::private_kb("Private_Clean: 4 kB\n"), -1);
}

TEST(ProcReadings, UdpCounterReadsTheValueUnderItsName) {
  const char* snmp =
      "Ip: Forwarding DefaultTTL\nIp: 1 64\n"
      "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors\n"
      "Udp: 35 1 7 36 5 0\n"
      "UdpLite: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors\n"
      "UdpLite: 0 0 0 0 99 0\n";
  EXPECT_EQ(lmrbench::udp_counter(snmp, "RcvbufErrors"), 5);
  EXPECT_EQ(lmrbench::udp_counter(snmp, "InDatagrams"), 35);
  EXPECT_EQ(lmrbench::udp_counter(snmp, "MemErrors"), -1);
  EXPECT_EQ(lmrbench::udp_counter("Ip: Forwarding\nIp: 1\n", "RcvbufErrors"), -1);
}

TEST(ProcReadings, StatTicksCountFromAfterTheCommandName) {
  // A command name with blanks and a ")" must not shift the fields.
  const char* stat = "4242 (a b) c) S 1 4242 4242 0 -1 4194560 120 0 0 0 17 5 0 0 20 0 1 0 99";
  EXPECT_EQ(lmrbench::stat_cpu_ticks(stat), 22);
  EXPECT_EQ(lmrbench::stat_cpu_ticks("4242 (x) S 1 2"), -1);
  EXPECT_EQ(lmrbench::stat_cpu_ticks("no name here"), -1);
}

TEST(ProcReadings, CpuTimeOfThisProcessGrowsAndOfNoProcessIsEmpty) {
  const auto before = lmrbench::cpu_time_ns(getpid());
  ASSERT_TRUE(before.has_value());
  volatile double sink = 0;
  for (int i = 0; i < 20'000'000; ++i) {
    sink = sink + std::sqrt(static_cast<double>(i));
  }
  const auto after = lmrbench::cpu_time_ns(getpid());
  ASSERT_TRUE(after.has_value());
  EXPECT_GT(*after, *before);
  EXPECT_FALSE(lmrbench::cpu_time_ns(std::numeric_limits<pid_t>::max()).has_value());
}

TEST(Statistics, PercentileIsNearestRank) {
  std::vector<double> hundred;
  for (int i = 100; i >= 1; --i) {
    hundred.push_back(i);
  }
  EXPECT_EQ(percentile(hundred, 50), 50);
  EXPECT_EQ(percentile(hundred, 99), 99);
  EXPECT_EQ(percentile(hundred, 100), 100);
  EXPECT_EQ(percentile({7}, 99), 7);
  EXPECT_TRUE(std::isnan(percentile({}, 50)));
}

TEST(Statistics, MedianSkipsMissingValues) {
  const double missing = std::nan("");
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
  EXPECT_EQ(median({missing, 5, missing}), 5);
  EXPECT_TRUE(std::isnan(median({missing})));
  EXPECT_TRUE(std::isnan(median({})));
}

}  // namespace
