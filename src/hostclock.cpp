// The adapter's clock mapped onto the host's: the lower envelope of report
// arrival less adapter time, followed window by window, its slope fitted over
// the last minute, and a continuous piecewise linear mapping that turns
// toward it gently.
#include "internal.h"

namespace canfd::core {

namespace {

// Adapter time going back this far is a new clock (the adapter was reset);
// a report that arrives this long before the mapping's time for it is a
// clock that jumped ahead (or a host that slept): the mapping starts over
// from the report. Reports that arrive late say nothing of the kind.
constexpr int64_t kClockBackUs = 1000000;
constexpr double kJumpUs = 1000000;
// Windows a rate fit needs.
constexpr int kFitWindows = 4;

// Plain arithmetic: the library links no maths library.
double clamp(double v, double limit) { return v < -limit ? -limit : v > limit ? limit : v; }
double lower(double a, double b) { return a < b ? a : b; }

double detrended(const HostClock::Sample &s, double skew) {
  return static_cast<double>(s.offset_us) - skew * static_cast<double>(s.adapter_us);
}

// The rate difference: the least-squares slope of the windows' lowest
// offsets against adapter time.
void fit_skew(HostClock &c) {
  if (c.min_count < kFitWindows) return;
  const int first = c.min_count < HostClock::kWindows ? 0 : c.min_next;
  const HostClock::Sample &origin = c.mins[first];
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (int i = 0; i < c.min_count; ++i) {
    const HostClock::Sample &s = c.mins[(first + i) % HostClock::kWindows];
    const double x = static_cast<double>(s.adapter_us - origin.adapter_us);
    const double y = static_cast<double>(s.offset_us - origin.offset_us);
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double n = c.min_count;
  const double den = n * sxx - sx * sx;
  if (den <= 0) return;
  const double slope = (n * sxy - sx * sy) / den;
  c.skew = clamp(slope, HostClock::kMaxSkew);
}

// The envelope's offset at adapter time a: the lower of the current window's
// lowest sample and the last whole window's, carried along the fitted slope.
double envelope(const HostClock &c, int64_t a) {
  double low = detrended(c.window_min, c.skew);
  if (c.min_count > 0) {
    const HostClock::Sample &last =
        c.mins[(c.min_next + HostClock::kWindows - 1) % HostClock::kWindows];
    low = lower(low, detrended(last, c.skew));
  }
  return low + c.skew * static_cast<double>(a);
}

void start(HostClock &c, int64_t a, int64_t host) {
  c = HostClock();
  c.started = true;
  c.piece_adapter = a;
  c.piece_host = static_cast<double>(host);
  c.last_adapter_us = a;
  c.window_start = a;
  c.window_min = {a, host - a};
}

}  // namespace

int64_t clock_map(const HostClock &c, int64_t adapter_us) {
  const double host = c.piece_host + static_cast<double>(adapter_us - c.piece_adapter) * c.rate;
  return static_cast<int64_t>(host < 0 ? host - 0.5 : host + 0.5);
}

int64_t date_record(const HostClock &c, int64_t adapter_us, int64_t to_realtime_us,
                    int64_t *last_us) {
  int64_t date = clock_map(c, adapter_us) + to_realtime_us;
  if (date < *last_us && date > *last_us - kDateJitterUs) date = *last_us;
  *last_us = date;
  return date;
}

void clock_learn(HostClock &c, int64_t adapter_us, int64_t host_us) {
  const int64_t a = adapter_us;
  if (!c.started || a < c.last_adapter_us - kClockBackUs ||
      static_cast<double>(clock_map(c, a) - host_us) > kJumpUs) {
    start(c, a, host_us);
    return;
  }
  if (a > c.last_adapter_us) c.last_adapter_us = a;
  const HostClock::Sample s{a, host_us - a};
  if (a - c.window_start >= HostClock::kWindowUs) {
    c.mins[c.min_next] = c.window_min;
    c.min_next = (c.min_next + 1) % HostClock::kWindows;
    if (c.min_count < HostClock::kWindows) ++c.min_count;
    c.window_start = a;
    c.window_min = s;
    fit_skew(c);
  } else if (detrended(s, c.skew) < detrended(c.window_min, c.skew)) {
    c.window_min = s;
  }
  // A new piece from here: continuous, at the adapter's rate corrected by
  // the fitted difference, turning toward the envelope.
  const double here = c.piece_host + static_cast<double>(a - c.piece_adapter) * c.rate;
  const double error = here - (static_cast<double>(a) + envelope(c, a));
  const double turn = clamp(error / HostClock::kTauUs, HostClock::kMaxSlew);
  c.piece_adapter = a;
  c.piece_host = here;
  c.rate = 1 + c.skew - turn;
}

}  // namespace canfd::core
