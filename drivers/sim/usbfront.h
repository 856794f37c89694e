// The board's FT232R as the kernel's usbdevfs shows it, on a umockdev
// testbed: programs started under umockdev's preload find it with the real
// libusb-1.0 and libftdi1, and every request and transfer they make reaches
// the board model of board.h. Its knobs are in simboard.h.
#pragma once

#include <umockdev.h>

// Puts the board (and whatever the knobs add) on the testbed's bus and
// answers the ioctls of its device node from umockdev's worker thread.
bool usbfrontPlugIn(UMockdevTestbed* testbed, GError** error);

// The programs are done: the chip sends out what it still holds, and the
// EPROM leaves the socket.
void usbfrontUnplug();
