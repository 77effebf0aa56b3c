// The hardware plug-in kit: everything a device maker needs to build a plug-in library that gives
// one or more controllers their own behaviour object. Plain C++; needs neither Qt nor anything else
// of the program.
//
// A plug-in is a dynamic library (.so on Linux, .dll on Windows) placed in the folder `hardware`
// under the program's current directory. It exports two plain functions under these exact names:
//
//   FLASHER_PLUGIN_EXPORT void FLASHER_PLUGIN_CALL GetPluginIdentifier(char *block);
//       Fills the identifier block (zeroed by the host) with up to five keys, one per 14-byte
//       slot, each a zero-terminated text of at most 13 bytes. The list ends at the first empty
//       slot. A controller's key is its vendor and product ID as "0x%04x-0x%04x", lower-case
//       hexadecimal: vendor 0x16c0, product 0x05df gives "0x16c0-0x05df".
//
//   FLASHER_PLUGIN_EXPORT AbstractHardware *FLASHER_PLUGIN_CALL CreatePluginPointer(uint16_t releaseNumber);
//       Returns a new behaviour object for a controller with one of the declared keys (its USB
//       release number is given), allocated with `new`. The controller owns it and destroys it
//       through the virtual destructor; return null to leave the controller as it is.
//
// The object receives processInput for every input report the controller delivers, on the
// program's monitor thread, from the moment it is installed until the controller goes away. It gets
// no setBuffers or deviceAccepted call. Keep processInput short: it runs inside the polling loop.
//
// Rules of the contract:
//   - Build with the same C++ ABI as the program (GCC or Clang on Linux, mingw-w64 for the Windows
//     program), since the host calls the object through the virtual-table layout of
//     abstracthardware.h. Never reorder or add operations there.
//   - No C++ exception may leave the two exports or any operation of the object.
//   - The program exports its HID access functions (hid/hid.h) by name. A plug-in may call them
//     directly: on Linux the library is linked leaving those symbols undefined (do not link with
//     -Wl,--no-undefined) and they are bound to the program's functions when it is loaded; on
//     Windows link against the program's import library. Every symbol must be resolvable when the
//     library is loaded, or the host refuses to load it.
//   - The library is never unloaded once loaded.
#pragma once

#include <cstddef>
#include <cstdint>

#include "abstracthardware.h"

#if defined(_WIN32)
#define FLASHER_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#define FLASHER_PLUGIN_CALL __cdecl
#else
#define FLASHER_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#define FLASHER_PLUGIN_CALL
#endif

namespace flasher_plugin {

constexpr std::size_t IdentifierSlotSize = 14;
constexpr std::size_t IdentifierSlotCount = 5;
constexpr std::size_t IdentifierBlockSize = IdentifierSlotSize * IdentifierSlotCount; // 70 bytes

using GetPluginIdentifierFunction = void(FLASHER_PLUGIN_CALL *)(char *block);
using CreatePluginPointerFunction = AbstractHardware *(FLASHER_PLUGIN_CALL *)(uint16_t releaseNumber);

} // namespace flasher_plugin
