// Discovery through sysfs: parsing of uevent files, the scan list, lookups.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

#include "rig.h"

namespace {

using rig::kBid;
using rig::kPid;

std::string uevent(const std::string &hid_id, const char *uniq) {
  std::string s = "DRIVER=hid-generic\nHID_ID=" + hid_id + "\nHID_NAME=Adapter\n";
  if (uniq) s += std::string("HID_UNIQ=") + uniq + "\n";
  return s + "MODALIAS=hid:b0003\n";
}

// Entry names in the order the directory yields them.
std::vector<std::string> dir_order(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir((dir + "/sys/class/hidraw").c_str());
  while (dirent *e = d ? readdir(d) : nullptr)
    if (std::string(e->d_name).rfind("hidraw", 0) == 0) names.push_back(e->d_name);
  if (d) closedir(d);
  return names;
}

TEST(Discovery, ListsSupportedAdaptersInDirectoryOrder) {
  canfd_sim::Sandbox sb;
  sb.add({2, "00003F9A", "00000E31", "0000ABCD", ""});
  sb.add({7, "00003F9A", "00000E32", "12345678", ""});
  sb.add({4, "00001234", "00000E31", "11111111", ""});  // other vendor
  sb.add_entry("hidraw9", uevent("0003:00003F9A:00000E33", "22222222").c_str());
  WORD pid[8] = {0};
  DWORD bid[8] = {0};
  ASSERT_EQ(CANFD_ListDevice(pid, bid), 2);
  std::vector<std::pair<int, DWORD>> expect;
  for (const auto &name : dir_order(sb.dir())) {
    if (name == "hidraw2") expect.push_back({0x0E31, 0xABCD});
    if (name == "hidraw7") expect.push_back({0x0E32, 0x12345678});
  }
  ASSERT_EQ(expect.size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(pid[i], expect[i].first);
    EXPECT_EQ(bid[i], expect[i].second);
  }
  EXPECT_EQ(List[2].Dev_hidNum, 0xFFFFFFFFu);
  int num = -1;
  ASSERT_EQ(get_hidraw_num(0x0E32, 0x12345678, &num), 0);
  EXPECT_EQ(num, 7);
}

TEST(Discovery, UeventVariantsAreNormalised) {
  canfd_sim::Sandbox sb;
  sb.add_entry("hidraw1", uevent("0003:00003f9a:00000e31", "abcdef01").c_str());    // lower case
  sb.add_entry("hidraw2", uevent("0003:3F9A:0E32", "ABC").c_str());                 // short ids
  sb.add_entry("hidraw3", uevent("0003:00003F9A:00000E31", "1234ABCD99").c_str());  // long serial
  sb.add_entry("hidraw4", uevent("0003:00003F9A:00000E31", "G123").c_str());        // not hex
  sb.add_entry("hidraw5", uevent("0003:00003F9A:00000E31", nullptr).c_str());       // no serial
  sb.add_entry("hidraw6", "HID_ID=0003:00003F9A:00000E31\nHID_UNIQ=\n");            // empty serial
  sb.add_entry("hidraw8", "HID_UNIQ=00000042\nHID_ID=0003:00003F9A:00000E31\n");    // order
  sb.add_entry("hidraw10", nullptr);                                                // no uevent
  ASSERT_EQ(CANFD_ScanDevice(), 0);
  std::map<unsigned, std::pair<WORD, DWORD>> found;
  for (const ListDev &e : List)
    if (e.Dev_hidNum != 0xFFFFFFFF) found[e.Dev_hidNum] = {e.Dev_PID, e.Dev_BID};
  std::map<unsigned, std::pair<WORD, DWORD>> expect = {{1, {0x0E31, 0xABCDEF01}},
                                                       {2, {0x0E32, 0xABC}},
                                                       {3, {0x0E31, 0x1234ABCD}},
                                                       {4, {0x0E31, 0}},
                                                       {8, {0x0E31, 0x42}}};
  EXPECT_EQ(found, expect);
}

TEST(Discovery, NothingAttached) {
  canfd_sim::Sandbox sb;
  sb.add({0, "00001111", "00002222", "1", ""});
  List[0].Dev_PID = 0x77;
  EXPECT_EQ(CANFD_ScanDevice(), CANFD_ERR_SCAN_FAILED);
  for (const ListDev &e : List) EXPECT_EQ(e.Dev_hidNum, 0xFFFFFFFFu);
  EXPECT_EQ(List[0].Dev_PID, 0x77);  // only the numbers are marked empty
  WORD pid[8] = {1, 2};
  DWORD bid[8] = {3};
  EXPECT_EQ(CANFD_ListDevice(pid, bid), 0);
  EXPECT_EQ(pid[0], 1);
  int num = 55;
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_hidraw_num(kPid, kBid, &num), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No device.\n");
  EXPECT_EQ(num, 55);
  WORD h = 9;
  testing::internal::CaptureStdout();
  EXPECT_EQ(CANFD_OpenDevice(&h, kPid, kBid), CANFD_ERR_DEVICE_NOT_FOUND);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(h, 9);
}

TEST(Discovery, MissingClassDirectoryFailsTheScan) {
  canfd_sim::Sandbox sb;
  ASSERT_EQ(rmdir((sb.dir() + "/sys/class/hidraw").c_str()), 0);
  List[0].Dev_hidNum = 3;
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_ScanDevice(), CANFD_ERR_SCAN_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "CANFD_ScanDevice() opendir failed: No such file or directory\n");
  EXPECT_EQ(List[0].Dev_hidNum, 3u);  // the list is left as it was
}

TEST(Discovery, LookupWithoutMatchSaysHowManyWereSearched) {
  canfd_sim::Sandbox sb;
  sb.add({0, "00003F9A", "00000E31", "1", ""});
  sb.add({1, "00003F9A", "00000E31", "2", ""});
  int num = -1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_hidraw_num(kPid, 3, &num), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Searched 2 CANFD devices, but no device with matching PID and BID was found\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_hidraw_num(0x0E32, 1, &num), -1);  // the product id must match too
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(num, -1);
}

TEST(Discovery, DuplicateIdsResolveToTheFirstListed) {
  canfd_sim::Sandbox sb;
  sb.add({3, "00003F9A", "00000E31", "5", ""});
  sb.add({5, "00003F9A", "00000E31", "5", ""});
  sb.add({1, "00003F9A", "00000E31", "5", ""});
  const auto order = dir_order(sb.dir());
  int num = -1;
  ASSERT_EQ(get_hidraw_num(kPid, 5, &num), 0);
  EXPECT_EQ("hidraw" + std::to_string(num), order.front());
}

TEST(Discovery, BadEntryNamesAreReportedAndSkipped) {
  canfd_sim::Sandbox sb;
  const std::string ok = uevent("0003:00003F9A:00000E31", "1");
  for (const char *name : {"hidraw", "hidrawX1", "hidraw1a", "hidraw-3", "hidraw99999999999999999"})
    sb.add_entry(name, ok.c_str());
  testing::internal::CaptureStderr();
  EXPECT_EQ(CANFD_ScanDevice(), CANFD_ERR_SCAN_FAILED);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("No number after hidraw in hidraw\n"), std::string::npos) << err;
  for (const char *name : {"hidrawX1", "hidraw1a", "hidraw-3", "hidraw99999999999999999"})
    EXPECT_NE(err.find(std::string("Invalid number in ") + name + "\n"), std::string::npos) << err;
}

TEST(Discovery, MoreThanEightAdaptersFillTheListAndNoMore) {
  canfd_sim::Sandbox sb;
  const std::string ok = uevent("0003:00003F9A:00000E31", "7");
  for (int i = 0; i < 12; ++i) sb.add_entry("hidraw" + std::to_string(i), ok.c_str());
  WORD pid[8];
  DWORD bid[8];
  EXPECT_EQ(CANFD_ListDevice(pid, bid), 8);
  for (const ListDev &e : List) EXPECT_LT(e.Dev_hidNum, 12u);
}

TEST(Discovery, SerialNumberThroughTheShell) {
  canfd_sim::Sandbox sb;
  sb.add({6, "00003F9A", "00000E31", "00C0FFEE", ""});
  char buf[32] = {0};
  EXPECT_EQ(getserialnum(6, buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "00C0FFEE\n");
  char small[5] = {0};
  EXPECT_EQ(getserialnum(6, small, sizeof small), -1);
  EXPECT_STREQ(small, "00C0");
  testing::internal::CaptureStderr();
  EXPECT_EQ(getserialnum(42, buf, sizeof buf), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error reading from BIDstr..\n"),
            std::string::npos);
}

}  // namespace
