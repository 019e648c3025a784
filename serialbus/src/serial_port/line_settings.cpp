// Only the kernel's own terminal headers here; see line_settings.hpp.
#include "serial_port/line_settings.hpp"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace serialbus::detail {

int apply_bus_line_settings(int fd, std::uint32_t baud_rate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud_rate;
    tio.c_ospeed = baud_rate;
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8;
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    tio.c_iflag |= IGNPAR;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        return errno;
    }
    return 0;
}

int read_line_settings(int fd, PortSettings& settings) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return errno;
    }
    settings.custom_rate =
        (tio.c_cflag & CBAUD) == BOTHER && ((tio.c_cflag >> IBSHIFT) & CBAUD) == BOTHER;
    settings.input_baud = tio.c_ispeed;
    settings.output_baud = tio.c_ospeed;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            settings.data_bits = 5;
            break;
        case CS6:
            settings.data_bits = 6;
            break;
        case CS7:
            settings.data_bits = 7;
            break;
        default:
            settings.data_bits = 8;
            break;
    }
    settings.parity = (tio.c_cflag & PARENB) != 0;
    settings.two_stop_bits = (tio.c_cflag & CSTOPB) != 0;
    settings.hardware_flow_control = (tio.c_cflag & CRTSCTS) != 0;
    settings.software_flow_control = (tio.c_iflag & (IXON | IXOFF | IXANY)) != 0;
    settings.ignore_parity_errors = (tio.c_iflag & IGNPAR) != 0;
    settings.receiver_enabled = (tio.c_cflag & CREAD) != 0;
    settings.ignore_modem_lines = (tio.c_cflag & CLOCAL) != 0;
    settings.raw =
        (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0;
    return 0;
}

}  // namespace serialbus::detail
