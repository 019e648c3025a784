// USB serial adapters of the FTDI family hold received bytes for up to their latency timer
// (16 ms by default) before passing them on, which turns a 1 ms exchange into 16 or 32. When
// the port's driver exposes that timer and it is above 1 ms, the driver's low-latency flag is
// tried; if the timer stays high, one warning gives the figure and the fix. Ports without such
// a timer (a pseudo-terminal, a CDC-ACM device) are left alone, silently.
#pragma once

#include <string>

namespace wenlo::controller {

// `device` is the port's path; `sysfs` where the system's files are (a test's made-up tree).
void check_usb_latency(const std::string& device, int fd, const std::string& sysfs = "/sys");

}  // namespace wenlo::controller
