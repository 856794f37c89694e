// The nine calls of the FTDI D2XX driver that the board is driven through,
// declared from the driver's documented C ABI. Every backend in drivers/
// provides exactly these; the device link and the programs call nothing else.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define D2XX_API __stdcall
#else
#define D2XX_API
#endif

extern "C" {

using FT_HANDLE = void*;
// ULONG on Windows. The status comes back in a register and our codes are
// small, so a 32-bit view of it is right on every ABI we build for.
using FT_STATUS = std::uint32_t;
using DWORD = std::uint32_t;

FT_STATUS D2XX_API FT_OpenEx(void* arg, DWORD flags, FT_HANDLE* handle);
FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate);
FT_STATUS D2XX_API FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode);
FT_STATUS D2XX_API FT_StopInTask(FT_HANDLE handle);
FT_STATUS D2XX_API FT_RestartInTask(FT_HANDLE handle);
FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, std::uint32_t mask);
FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, DWORD count, DWORD* written);
FT_STATUS D2XX_API FT_Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* read);
FT_STATUS D2XX_API FT_Close(FT_HANDLE handle);

}  // extern "C"

namespace d2xx {

constexpr FT_STATUS ok = 0;
constexpr FT_STATUS invalidHandle = 1;
constexpr FT_STATUS deviceNotFound = 2;
constexpr FT_STATUS deviceNotOpened = 3;
constexpr FT_STATUS ioError = 4;
constexpr FT_STATUS insufficientResources = 5;
constexpr FT_STATUS invalidParameter = 6;
constexpr FT_STATUS invalidBaudRate = 7;

constexpr DWORD openByDescription = 2;
constexpr std::uint8_t modeAsyncBitBang = 1;
constexpr std::uint32_t purgeRx = 1;
constexpr std::uint32_t purgeTx = 2;

}  // namespace d2xx
