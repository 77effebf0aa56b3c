// Arrivals on Windows: the configuration manager's notification of HID interface arrival, which
// needs no window. Systems (and compatibility layers) without it lack the two functions in
// cfgmgr32.dll, so they are looked up at run time; without them the periodic scan serves alone.
#include "hotplugevents.h"

#include <windows.h>

#include <cfgmgr32.h>

namespace {

// The HID device interface class.
constexpr GUID kHidInterfaceClass = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

using RegisterNotification = CONFIGRET(WINAPI *)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK,
                                                 PHCMNOTIFICATION);
using UnregisterNotification = CONFIGRET(WINAPI *)(HCMNOTIFICATION);

template <class Function> Function lookUp(HMODULE library, const char *name)
{
    // The usual way to take a typed address from GetProcAddress.
    return reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
}

class InterfaceArrivals final : public HotplugEvents {
public:
    InterfaceArrivals() = default;
    InterfaceArrivals(const InterfaceArrivals &) = delete;
    InterfaceArrivals &operator=(const InterfaceArrivals &) = delete;
    ~InterfaceArrivals() override
    {
        // Waits for a callback that is running, so the event outlives every callback.
        if (m_notification != nullptr)
            m_unregister(m_notification);
        if (m_arrived != nullptr)
            CloseHandle(m_arrived);
        if (m_library != nullptr)
            FreeLibrary(m_library);
    }

    bool open()
    {
        m_library = LoadLibraryW(L"cfgmgr32.dll");
        if (m_library == nullptr)
            return false;
        const auto registerNotification = lookUp<RegisterNotification>(m_library, "CM_Register_Notification");
        m_unregister = lookUp<UnregisterNotification>(m_library, "CM_Unregister_Notification");
        if (registerNotification == nullptr || m_unregister == nullptr)
            return false;
        m_arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr); // auto-reset: a wait consumes it
        if (m_arrived == nullptr)
            return false;
        CM_NOTIFY_FILTER filter = {};
        filter.cbSize = sizeof filter;
        filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
        filter.u.DeviceInterface.ClassGuid = kHidInterfaceClass;
        return registerNotification(&filter, this, &InterfaceArrivals::onNotification, &m_notification) ==
               CR_SUCCESS;
    }

    bool waitForArrival(int timeoutMs) override
    {
        return WaitForSingleObject(m_arrived, timeoutMs > 0 ? DWORD(timeoutMs) : 0) == WAIT_OBJECT_0;
    }

private:
    // Runs on a thread of the system's pool.
    static DWORD CALLBACK onNotification(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                         PCM_NOTIFY_EVENT_DATA, DWORD)
    {
        if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL)
            SetEvent(static_cast<InterfaceArrivals *>(context)->m_arrived);
        return ERROR_SUCCESS;
    }

    HMODULE m_library = nullptr;
    UnregisterNotification m_unregister = nullptr;
    HANDLE m_arrived = nullptr;
    HCMNOTIFICATION m_notification = nullptr;
};

} // namespace

std::unique_ptr<HotplugEvents> openHotplugEvents()
{
    auto events = std::make_unique<InterfaceArrivals>();
    if (!events->open())
        return nullptr;
    return events;
}
