// The board's FT232R (ft232r.h) as a USB host reaches it through the
// kernel's usbdevfs, on a umockdev testbed: the device's record in udev and
// sysfs, its plugging in and out, and the ioctls of its node, turned into
// transfers and requests for the chip. libusb talks to usbdevfs in URBs
// only (it never uses USBDEVFS_CONTROL): control transfers are answered as
// they come, bulk transfers in the chip's own time.
//
// Time is the real clock, caught up lazily: every ioctl first brings the
// chip to the present.
#include "usbfront.h"

#include "board.h"
#include "ft232r.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

using Clock = ft232r::Clock;

// The usbfs node always polls ready, so libusb asks for finished transfers
// again and again. A "not yet" is a failed ioctl, and under umockdev's
// preload a signal for the program (Ctrl+C during a burn) can turn its
// EAGAIN into EINTR, which libusb takes for an I/O error and cancels the
// transfer. So a reap while the program has transfers under way is held,
// the chip caught up every 2 ms, until one is done: a success, whose errno
// nobody reads. After 1 s it gets its "not yet", so libusb's own timeouts
// still run.
constexpr unsigned catchUpEveryMs = 2;
constexpr auto longestHold = std::chrono::seconds(1);
constexpr std::uint32_t maxHeldReaps = 16;

// Where the board and, with SIMBOARD_LOCKED=1, another FTDI device that
// cannot be opened sit on the bus. libusb lists devices in the reverse of
// the order it finds them in sysfs, so the other one comes first.
constexpr char boardPort[] = "1-1";
constexpr int boardDevnum = 2;
constexpr char boardNode[] = "/dev/bus/usb/001/002";
constexpr char lockedPort[] = "1-2";
constexpr int lockedDevnum = 3;

// The client's side of the transfer in the chip's slot of the same index.
struct Urb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* data;  // the client's URB, its buffer resolved
    usbdevfs_urb* urb;
};

struct HeldReap {
    UMockdevIoctlClient* client;  // null: a free entry
    Clock::time_point since;
};

ft232r::Chip chip;
std::array<Urb, ft232r::maxTransfers> urbs;
bool powered;
bool noChip;  // SIMBOARD_CHIP cannot be had: every ioctl fails
std::array<HeldReap, maxHeldReaps> heldReaps;
// umockdev's worker thread answers the ioctls; the launcher's main thread
// unplugs the board.
std::mutex chipLock;

// The chip is powered by the first ioctl, with the EPROM in its socket.
bool powerUp() {
    if (!powered) {
        powered = true;
        noChip = !boardInsertChip();
        if (noChip) boardLog("no chip in the socket");
        ft232r::powerUp(chip, Clock::now());
    }
    return !noChip;
}

int urbStatus(ft232r::End end) {
    switch (end) {
    case ft232r::End::ok: return 0;
    case ft232r::End::stall: return -EPIPE;
    case ft232r::End::noDevice: return -ESHUTDOWN;
    case ft232r::End::discarded: return -ECONNRESET;
    case ft232r::End::invalid: break;
    }
    return -EINVAL;
}

void release(std::size_t slot) {
    g_object_unref(urbs[slot].data);
    g_object_unref(urbs[slot].client);
    urbs[slot] = Urb{};
    chip.transfers[slot] = ft232r::Transfer{};
}

void control(std::size_t slot) {
    usbdevfs_urb* urb = urbs[slot].urb;
    auto* setup = static_cast<std::uint8_t*>(urb->buffer);
    if (urb->buffer_length < 8) return ft232r::finish(chip, chip.transfers[slot], ft232r::End::invalid, 0);
    auto length = static_cast<std::uint32_t>(setup[6] | setup[7] << 8);
    std::uint32_t room = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(urb->buffer_length) - 8);
    std::array<char, 48> what{};
    int moved = ft232r::answer(chip, setup, setup + 8, room, what.data(), what.size());
    std::array<char, 8> result{};
    std::snprintf(result.data(), result.size(), moved < 0 ? "stall" : "%d", moved);
    boardLog("control %02x %02x %02x%02x %02x%02x %u -> %s%s%s", setup[0], setup[1], setup[3], setup[2], setup[5],
             setup[4], static_cast<unsigned>(length), result.data(), what[0] ? " " : "", what.data());
    ft232r::finish(chip, chip.transfers[slot], moved < 0 ? ft232r::End::stall : ft232r::End::ok,
                   static_cast<std::uint32_t>(std::max(moved, 0)));
}

void complete(UMockdevIoctlClient* client, long result, int error) {
    if (umockdev_ioctl_client_get_connected(client)) umockdev_ioctl_client_complete(client, result, error);
}

void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg, Clock::time_point now) {
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!data) return complete(client, -1, EFAULT);
    auto* urb = reinterpret_cast<usbdevfs_urb*>(data->data);
    if (urb->buffer_length > 0) {
        // The URB keeps the buffer; its changes go back to the client with it.
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
        if (!buffer) {
            g_object_unref(data);
            return complete(client, -1, EFAULT);
        }
        g_object_unref(buffer);
    }
    bool isControl = urb->type == USBDEVFS_URB_TYPE_CONTROL;
    bool known = isControl || (urb->type == USBDEVFS_URB_TYPE_BULK &&
                               (urb->endpoint == ft232r::inEndpoint || urb->endpoint == ft232r::outEndpoint));
    auto empty = std::find_if(chip.transfers.begin(), chip.transfers.end(),
                              [](const ft232r::Transfer& t) { return t.state == ft232r::TransferState::free; });
    if (!known || empty == chip.transfers.end()) {
        g_object_unref(data);
        return complete(client, -1, known ? ENOMEM : ENOENT);
    }
    auto slot = static_cast<std::size_t>(empty - chip.transfers.begin());
    if (!ft232r::submit(chip, *empty, isControl ? 0 : urb->endpoint, static_cast<std::uint8_t*>(urb->buffer),
                        static_cast<std::uint32_t>(urb->buffer_length), now)) {
        g_object_unref(data);
        return complete(client, -1, ENODEV);
    }
    urbs[slot] = Urb{static_cast<UMockdevIoctlClient*>(g_object_ref(client)), data, urb};
    urb->status = 0;
    urb->actual_length = 0;
    if (isControl) control(slot);
    complete(client, 0, 0);
}

bool reapOne(const UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::size_t oldest = ft232r::maxTransfers;
    for (std::size_t i = 0; i < ft232r::maxTransfers; ++i) {
        const ft232r::Transfer& t = chip.transfers[i];
        if (t.state == ft232r::TransferState::done && urbs[i].client == client &&
            (oldest == ft232r::maxTransfers || t.completed < chip.transfers[oldest].completed))
            oldest = i;
    }
    if (oldest == ft232r::maxTransfers) return false;
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    if (!pointer) return false;
    usbdevfs_urb* urb = urbs[oldest].urb;
    urb->status = urbStatus(chip.transfers[oldest].end);
    urb->actual_length = static_cast<int>(chip.transfers[oldest].moved);
    umockdev_ioctl_data_set_ptr(pointer, 0, urbs[oldest].data);
    g_object_unref(pointer);
    release(oldest);
    return true;
}

bool hasWaiting(const UMockdevIoctlClient* client) {
    for (std::size_t i = 0; i < ft232r::maxTransfers; ++i)
        if (chip.transfers[i].state == ft232r::TransferState::waiting && urbs[i].client == client) return true;
    return false;
}

gboolean reapLater(gpointer data) {
    auto* held = static_cast<HeldReap*>(data);
    UMockdevIoctlClient* client = held->client;
    std::lock_guard<std::mutex> hold(chipLock);
    auto now = Clock::now();
    if (!chip.unplugged) ft232r::catchUp(chip, now);
    if (reapOne(client, umockdev_ioctl_client_get_arg(client)))
        complete(client, 0, 0);
    else if (chip.unplugged)
        complete(client, -1, ENODEV);
    else if (!hasWaiting(client) || now - held->since >= longestHold || !umockdev_ioctl_client_get_connected(client))
        complete(client, -1, EAGAIN);
    else
        return G_SOURCE_CONTINUE;
    g_object_unref(client);
    *held = HeldReap{};
    return G_SOURCE_REMOVE;
}

void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    if (reapOne(client, arg)) return complete(client, 0, 0);
    auto held = std::find_if(heldReaps.begin(), heldReaps.end(), [](const HeldReap& h) { return !h.client; });
    if (!hasWaiting(client) || held == heldReaps.end()) return complete(client, -1, EAGAIN);
    *held = HeldReap{static_cast<UMockdevIoctlClient*>(g_object_ref(client)), Clock::now()};
    GSource* later = g_timeout_source_new(catchUpEveryMs);
    g_source_set_callback(later, reapLater, &*held, nullptr);
    g_source_attach(later, g_main_context_get_thread_default());
    g_source_unref(later);
}

void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = *reinterpret_cast<const gulong*>(arg->data);
    for (std::size_t i = 0; i < ft232r::maxTransfers; ++i) {
        if (chip.transfers[i].state == ft232r::TransferState::waiting && urbs[i].client == client &&
            urbs[i].data->client_addr == address) {
            ft232r::discard(chip, chip.transfers[i]);
            return complete(client, 0, 0);
        }
    }
    complete(client, -1, EINVAL);
}

void putCapabilities(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
    if (!caps) return complete(client, -1, EFAULT);
    std::uint32_t bits = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
    std::memcpy(caps->data, &bits, sizeof bits);
    g_object_unref(caps);
    complete(client, 0, 0);
}

// The ioctls that name an interface or an endpoint, logged: a release is
// how a closed device shows, since libftdi's close makes one even on a
// device that has gone.
void interfaceOrEndpoint(UMockdevIoctlClient* client, UMockdevIoctlData* arg, unsigned long request) {
    UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
    if (!number) return complete(client, -1, EFAULT);
    unsigned which = 0;
    std::memcpy(&which, number->data, sizeof which);
    g_object_unref(number);
    const char* what = request == USBDEVFS_CLAIMINTERFACE     ? "claim interface %u -> %s"
                       : request == USBDEVFS_RELEASEINTERFACE ? "release interface %u -> %s"
                                                              : "clear halt %02x -> %s";
    boardLog(what, which, chip.unplugged ? "no device" : "0");
    if (chip.unplugged) return complete(client, -1, ENODEV);
    if (request == USBDEVFS_CLEAR_HALT) ft232r::clearHalt(chip, which);
    complete(client, 0, 0);
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    std::lock_guard<std::mutex> hold(chipLock);
    if (!powerUp()) {
        complete(client, -1, EIO);
        return TRUE;
    }
    auto now = Clock::now();
    if (!chip.unplugged) ft232r::catchUp(chip, now);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_CLAIMINTERFACE || request == USBDEVFS_RELEASEINTERFACE || request == USBDEVFS_CLEAR_HALT) {
        interfaceOrEndpoint(client, arg, request);
        return TRUE;
    }
    if (chip.unplugged) {
        // As the kernel after a disconnect: transfers that ended can still
        // be reaped, and everything else finds no device.
        bool reaping = request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY;
        if (reaping && reapOne(client, arg))
            complete(client, 0, 0);
        else
            complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: putCapabilities(client, arg); break;
    case USBDEVFS_SUBMITURB: submit(client, arg, now); break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: reap(client, arg); break;
    case USBDEVFS_DISCARDURB: discard(client, arg); break;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_RESET: complete(client, 0, 0); break;
    // No kernel driver holds the interface, so there is none to detach.
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL: complete(client, -1, ENODATA); break;
    default: complete(client, -1, ENOTTY); break;
    }
    return TRUE;
}

// The device as udev and sysfs show it; libusb reads its descriptors there,
// as the kernel read them from the chip when it was plugged in.
bool addDevice(UMockdevTestbed* testbed, const char* port, int devnum, GError** error) {
    const auto& device = ft232r::deviceDescriptor;
    const auto& configuration = ft232r::configurationDescriptor;
    std::array<char, 2 * (device.size() + configuration.size()) + 1> hex{};
    char* at = hex.data();
    for (std::uint8_t byte : device) at += std::sprintf(at, "%02X", byte);
    for (std::uint8_t byte : configuration) at += std::sprintf(at, "%02X", byte);
    std::array<char, 1024> record{};
    std::snprintf(record.data(), record.size(),
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/%s\n"
                  "N: bus/usb/001/%03d\n"
                  "E: DEVNAME=/dev/bus/usb/001/%03d\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: PRODUCT=403/6001/600\n"
                  // Attributes end in a newline, as the kernel's do.
                  "A: idVendor=0403\\n\n"
                  "A: idProduct=6001\\n\n"
                  "A: bcdDevice=0600\\n\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: speed=12\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: dev=189:%d\\n\n"
                  "H: descriptors=%s\n",
                  port, devnum, devnum, devnum, devnum, devnum, hex.data());
    return umockdev_testbed_add_from_string(testbed, record.data(), error);
}

}  // namespace

bool usbfrontPlugIn(UMockdevTestbed* testbed, GError** error) {
    if (boardKnob("SIMBOARD_LOCKED")) {
        // Another user's adapter: listed, but its node opens for nobody. A
        // folder in the node's place fails libusb's read-write open for every
        // user, root too, whom no permission bits stop. It stays readable, so
        // that the testbed's removal can list it without root.
        if (!addDevice(testbed, lockedPort, lockedDevnum, error)) return false;
        gchar* root = umockdev_testbed_get_root_dir(testbed);
        std::array<char, 4096> node{};
        std::snprintf(node.data(), node.size(), "%s/dev/bus/usb/001/%03d", root, lockedDevnum);
        g_free(root);
        if (unlink(node.data()) != 0 || mkdir(node.data(), 0555) != 0) {
            g_set_error(error, G_FILE_ERROR, g_file_error_from_errno(errno), "%s: %s", node.data(),
                        std::strerror(errno));
            return false;
        }
    }
    if (boardKnob("SIMBOARD_ABSENT")) return true;
    if (!addDevice(testbed, boardPort, boardDevnum, error)) return false;
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), nullptr);
    return umockdev_testbed_attach_ioctl(testbed, boardNode, handler, error);
}

void usbfrontUnplug() {
    std::lock_guard<std::mutex> hold(chipLock);
    // What the chip holds still goes out to the pins: the board keeps its
    // power while the operator reads the last prompt.
    bool live = powered && !noChip && !chip.unplugged;
    if (live) ft232r::catchUp(chip, Clock::now());
    for (std::size_t i = 0; i < ft232r::maxTransfers; ++i)
        if (chip.transfers[i].state != ft232r::TransferState::free) release(i);
    if (live) ft232r::emptyTransmitFifo(chip);
    boardRemoveChip();
    chip.unplugged = true;
}
