// Discovery: finds the supported adapters in /sys/class/hidraw and fills the
// scan list. The exported calls take the library lock; open uses the lookup
// under the lock it already holds.
#include <dirent.h>
#include <errno.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

extern "C" {
ListDev List[CANFD_LIST_SIZE];
}

namespace canfd::core {

namespace {

struct DeviceID {
  const char *vid;
  const char *pid;
};

constexpr DeviceID supported_devices[] = {{"3F9A", "0E31"}, {"3F9A", "0E32"}};
constexpr int num_supported_devices = 2;

// Hexadecimal digits up to the first other character; no prefix, no sign.
DWORD parse_hex_prefix(const char *s) {
  DWORD v = 0;
  for (; isxdigit(static_cast<unsigned char>(*s)); ++s) {
    const int c = static_cast<unsigned char>(*s);
    v = v * 16 + static_cast<DWORD>(isdigit(c) ? c - '0' : (toupper(c) - 'A' + 10));
  }
  return v;
}

// Reads HID_ID and HID_UNIQ from a uevent file; false if either is missing.
bool read_uevent(FILE *f, char (&vid)[9], char (&pid)[9], char (&bid)[9]) {
  char line[128];
  vid[0] = pid[0] = bid[0] = '\0';
  bool bid_found = false;
  while (fgets(line, sizeof line, f) != nullptr) {
    char *nl = strchr(line, '\n');
    if (nl) *nl = '\0';
    char v[9], p[9], b[9];
    if (sscanf(line, "HID_ID=%*x:%8[^:]:%8s", v, p) == 2) {
      memcpy(vid, v, sizeof v);
      memcpy(pid, p, sizeof p);
    } else if (sscanf(line, "HID_UNIQ=%8s", b) == 1) {
      memcpy(bid, b, sizeof b);
      bid_found = true;
    }
    if (vid[0] != '\0' && bid_found) break;
  }
  return vid[0] != '\0' && bid_found;
}

int scan_device() {
  DIR *dir = opendir("/sys/class/hidraw");
  if (dir == nullptr) {
    perror("CANFD_ScanDevice() opendir failed");
    return CANFD_ERR_SCAN_FAILED;
  }
  for (ListDev &e : List) e.Dev_hidNum = 0xFFFFFFFF;
  int scaned_dev = 0;
  struct dirent *ent;
  while ((ent = readdir(dir)) != nullptr) {
    if (strncmp(ent->d_name, "hidraw", 6) != 0) continue;
    char path[300];
    snprintf(path, sizeof path, "/sys/class/hidraw/%s/device/uevent", ent->d_name);
    FILE *f = fopen(path, "r");
    if (f == nullptr) continue;
    char vid[9], pid[9], bid[9];
    const bool found = read_uevent(f, vid, pid, bid);
    fclose(f);
    if (!found) continue;
    char clean_vid[5], clean_pid[5];
    snprintf(clean_vid, sizeof clean_vid, "%04X", static_cast<unsigned>(strtoul(vid, nullptr, 16)));
    snprintf(clean_pid, sizeof clean_pid, "%04X", static_cast<unsigned>(strtoul(pid, nullptr, 16)));
    for (int i = 0; i < num_supported_devices; ++i) {
      if (strcmp(clean_vid, supported_devices[i].vid) != 0 ||
          strcmp(clean_pid, supported_devices[i].pid) != 0)
        continue;
      const char *num = ent->d_name + 6;
      if (*num == '\0') {
        fprintf(stderr, "No number after hidraw in %s\n", ent->d_name);
        continue;
      }
      errno = 0;
      char *rest = nullptr;
      // long long: long is 32 bits wide on the 32-bit targets.
      const long long n = strtoll(num, &rest, 10);
      if (rest == num || *rest != '\0' || errno != 0 || n < 0 ||
          n > static_cast<long long>(UINT_MAX) - 1) {
        fprintf(stderr, "Invalid number in %s\n", ent->d_name);
        continue;
      }
      // The list holds 8 adapters; further ones are not listed.
      if (scaned_dev >= CANFD_LIST_SIZE) continue;
      List[scaned_dev].Dev_hidNum = static_cast<unsigned int>(n);
      List[scaned_dev].Dev_PID = static_cast<WORD>(strtoul(clean_pid, nullptr, 16));
      List[scaned_dev].Dev_BID = parse_hex_prefix(bid);
      ++scaned_dev;
    }
  }
  closedir(dir);
  return scaned_dev > 0 ? 0 : CANFD_ERR_SCAN_FAILED;
}

BYTE list_device(WORD *o_wPID, DWORD *o_dwBID) {
  if (scan_device() != 0) return 0;
  BYTE n = 0;
  for (; n < CANFD_LIST_SIZE && List[n].Dev_hidNum != 0xFFFFFFFF; ++n) {
    o_wPID[n] = List[n].Dev_PID;
    o_dwBID[n] = List[n].Dev_BID;
  }
  return n;
}

}  // namespace

int lookup_hidraw_num(WORD i_wpid, DWORD i_wbid, int *hidnum) {
  WORD pids[CANFD_LIST_SIZE];
  DWORD bids[CANFD_LIST_SIZE];
  const BYTE count = list_device(pids, bids);
  if (count == 0) {
    printf("No device.\n");
    return -1;
  }
  for (int i = 0; i < count && i < CANFD_LIST_SIZE; ++i) {
    if (pids[i] == i_wpid && bids[i] == i_wbid) {
      *hidnum = static_cast<int>(List[i].Dev_hidNum);
      return 0;
    }
  }
  printf("Searched %d CANFD devices, but no device with matching PID and BID was found\n", count);
  return -1;
}

}  // namespace canfd::core

using namespace canfd::core;

extern "C" {

int CANFD_ScanDevice(void) {
  PlainLock library(&g_library_lock);
  return scan_device();
}

BYTE CANFD_ListDevice(WORD *o_wPID, DWORD *o_dwBID) {
  PlainLock library(&g_library_lock);
  return list_device(o_wPID, o_dwBID);
}

int get_hidraw_num(WORD i_wpid, DWORD i_wbid, int *hidnum) {
  PlainLock library(&g_library_lock);
  return lookup_hidraw_num(i_wpid, i_wbid, hidnum);
}

int getserialnum(BYTE num, char *buffer, size_t bufferSize) {
  char cmd[100];
  snprintf(cmd, sizeof cmd,
           "cat /sys/class/hidraw/hidraw%d/device/uevent | grep HID_UNIQ | cut -d'=' -f2", num);
  FILE *p = popen(cmd, "r");
  if (p == nullptr) {
    perror("CANFD_ListDevice() scan BID failed");
    return 0;
  }
  const int size = bufferSize > INT_MAX ? INT_MAX : static_cast<int>(bufferSize);
  if (size < 1 || fgets(buffer, size, p) == nullptr)
    fprintf(stderr, "Error reading from BIDstr..\n");
  pclose(p);
  return -1;
}

}  // extern "C"
