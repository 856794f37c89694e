// The simulated board: one model of the board (board.h) behind two fronts,
// the nine D2XX calls (simboard.cpp) and the board's FT232R (ft232r.cpp)
// seen over USB (usbfront.cpp, run by the launcher simusb). Its knobs are
// environment variables, read by the simulated hardware alone.
//
// The board, either front:
//   SIMBOARD_CHIP       the chip image (default simboard-chip.bin); a missing
//                       file is created erased, all 0xFF
//   SIMBOARD_CHIP_SIZE  size of such a new chip in bytes (default 65536)
//   SIMBOARD_LOG        file that gets one line per driver call (D2XX), or per
//                       USB request and transfer the chip sees (USB)
//   SIMBOARD_WIRE       file that gets every byte that goes to the pins
//   SIMBOARD_ABSENT     1: no board on the bus
//
// The D2XX front:
//   SIMBOARD_FAIL       CALL:N[=STATUS],... the Nth use of CALL fails
//                       (status 4, I/O error, unless given)
//   SIMBOARD_SHORT      FT_Write:N=COUNT or FT_Read:N=COUNT,... the Nth
//                       transfer moves COUNT bytes and reports success
//   SIMBOARD_REALTIME   1: pace transfers at the link's rate, 16 x baud
//
// The USB front, always in real time:
//   SIMBOARD_LOCKED     1: another FTDI device (0403:6001) that cannot be
//                       opened is listed before the board
//   SIMBOARD_SILENT     N: the board stops sampling once N samples have been
//                       taken since the host last purged them
//   SIMBOARD_PAUSE      N:MS: once N samples have been taken since the last
//                       purge, sampling stops for MS milliseconds; meanwhile
//                       the chip answers reads with the status bytes alone
//   SIMBOARD_UNPLUG_OUT N: the board is unplugged once the pins have driven
//                       N bytes; what the chip still held is lost
//   SIMBOARD_UNPLUG_IN  N: the board is unplugged once N samples have been
//                       taken since the last purge
//                       Unplugged, as the kernel answers for a device that
//                       went away: transfers under way end with -ESHUTDOWN
//                       and can still be reaped; every other ioctl fails
//                       with ENODEV
//   SIMBOARD_STALL_OUT  N: once the chip has taken N bytes from the host, the
//                       bulk OUT endpoint halts: OUT transfers end with
//                       -EPIPE until the host clears the halt
//   SIMBOARD_REFUSE     RR[:VVVV]: the chip stalls vendor request bRequest RR
//                       (with wValue VVVV only, if given), hexadecimal: 00:0
//                       is the reset libftdi sends at open, 00:1 and 00:2
//                       the purges
//
// The USB log has one line per control request, as it arrives:
//   control TYPE REQUEST VALUE INDEX LENGTH -> ANSWER [MEANING]
// (hexadecimal bmRequestType, bRequest, wValue, wIndex; decimal wLength;
// the bytes answered, or "stall"), e.g.
//   control 40 03 09c4 0000 0 -> 0 baud 1200
// and one per bulk transfer, when it completes (byte counts as submitted
// and as moved, IN counts with the status bytes; then "stall", "no device"
// or "discarded" for a transfer that failed), e.g.
//   bulk out 4096 -> 4096
//   bulk in 4096 -> 2
//   bulk out 4096 -> 904 stall
// and one per claim or release of an interface and per cleared halt, with
// 0 or "no device", e.g.
//   release interface 0 -> no device
#pragma once
