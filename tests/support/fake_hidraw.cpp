#include "fake_hidraw.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/hidraw.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fakehid {

namespace {

constexpr const char *kPreloadLibrary = "libumockdev-preload.so.0";
// The uevents of one plug or unplug, at most: the USB device, its interface, the HID device and
// the hidraw node.
constexpr int kEventsPerDevice = 4;

UMockdevTestbed *testbed(void *p)
{
    return static_cast<UMockdevTestbed *>(p);
}

UMockdevIoctlClient *ioctlClient(void *p)
{
    return static_cast<UMockdevIoctlClient *>(p);
}

std::string hex(const Bytes &bytes)
{
    std::string s;
    char pair[3];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%02X", b);
        s += pair;
    }
    return s;
}

__attribute__((format(printf, 1, 2))) std::string format(const char *fmt, ...)
{
    char buf[128];
    va_list args;
    va_start(args, fmt);
    vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

[[noreturn]] void fail(const char *what, GError *err)
{
    fprintf(stderr, "fake hidraw: %s: %s\n", what, err ? err->message : "failed");
    abort();
}

// The kernel answers the name ioctls with strlen + 1 bytes, cut at the caller's buffer size.
void completeWithName(UMockdevIoctlClient *c, UMockdevIoctlData *d, unsigned size, const std::string &s)
{
    const size_t len = std::min<size_t>(s.size() + 1, size);
    memcpy(d->data, s.c_str(), len);
    umockdev_ioctl_client_complete(c, static_cast<glong>(len), 0);
}

// The shared AddressSanitizer runtime this program is linked with, or an empty text.
std::string addressSanitizerRuntime()
{
    void *symbol = dlsym(RTLD_DEFAULT, "__asan_init");
    Dl_info info{};
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
        return {};
    // A runtime linked into the program itself comes first anyway.
    const std::string path = info.dli_fname;
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.rfind("lib", 0) == 0 && name.find(".so") != std::string::npos)
        return path;
    return {};
}

// Every fake hidraw node is a pseudo-terminal. The fixture keeps one descriptor of its own on each
// to see reads; the terminals of all fakes ever plugged are remembered, so that a descriptor left
// open on an unplugged device still counts. Terminals are told apart by device number: once a
// device is unplugged its terminal's /dev/pts entry is gone, and the /proc/self/fd link of a
// descriptor still open on it reads "/dev/pts/K (deleted)".
std::mutex terminalsLock;
std::set<int> ownEnds;
std::set<dev_t> fakeTerminals;

std::optional<dev_t> descriptorDevice(int fd)
{
    // The /proc link leads stat() to the open file even once the file's name is gone.
    struct stat st {};
    if (::stat(("/proc/self/fd/" + std::to_string(fd)).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

dev_t keepOwnEnd(int fd)
{
    std::lock_guard<std::mutex> lock(terminalsLock);
    ownEnds.insert(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        fail("looking at the node's terminal", nullptr);
    fakeTerminals.insert(st.st_rdev);
    return st.st_rdev;
}

void closeOwnEnd(int fd)
{
    std::lock_guard<std::mutex> lock(terminalsLock);
    ownEnds.erase(fd);
    ::close(fd);
}

// The process's descriptors on fake terminals, the fixture's own ends excluded, that `wanted` picks.
template <typename Wanted> int countDescriptorsOnTerminals(Wanted wanted)
{
    std::lock_guard<std::mutex> lock(terminalsLock);
    int count = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int fd = std::atoi(entry.path().filename().c_str());
        if (ownEnds.count(fd) != 0)
            continue;
        if (const std::optional<dev_t> device = descriptorDevice(fd); device && wanted(*device))
            ++count;
    }
    return count;
}

bool terminalInUse(dev_t terminal)
{
    return countDescriptorsOnTerminals([&](dev_t device) { return device == terminal; }) > 0;
}

// umockdev's preload library resolves a path and opens it under this lock, and only afterwards,
// without it, connects the new descriptor to the node's ioctl socket. Removing a node while
// holding it means that every open that found the node holds a descriptor by then, and that no
// open finds the node and then fails (the preload library takes a failed connection of such an
// open for fatal, while the node's socket goes away).
pthread_mutex_t *preloadPathLock()
{
    static pthread_mutex_t *const lock =
        static_cast<pthread_mutex_t *>(dlsym(RTLD_DEFAULT, "trap_path_lock"));
    if (lock == nullptr) {
        fprintf(stderr, "fake hidraw: umockdev's preload library has no trap_path_lock\n");
        abort();
    }
    return lock;
}

void unlinkUnderPreloadPathLock(const std::string &path)
{
    // As the preload library does: a signal handler on this thread must not find the lock taken.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_mutex_lock(preloadPathLock());
    ::unlink(path.c_str());
    pthread_mutex_unlock(preloadPathLock());
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The inodes of the uevent listeners' sockets in the testbed's folder: umockdev binds the socket
// of every udev monitor opened under it, in any process, to "event<N>" there. Files of closed
// monitors stay behind; they match no open socket below.
std::set<ino_t> eventSocketFiles(const std::string &root)
{
    std::set<ino_t> inodes;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(root, error)) {
        struct stat st {};
        if (entry.path().filename().string().rfind("event", 0) == 0 &&
            ::lstat(entry.path().c_str(), &st) == 0 && S_ISSOCK(st.st_mode))
            inodes.insert(st.st_ino);
    }
    return inodes;
}

// Whether any of these sockets has a datagram waiting to be read. The kernel's socket diagnostics
// tell the queue of a socket that another process holds; for a datagram socket they give the
// length of the first datagram waiting, so anything above 0 means the queue is not empty.
// Unknown (the diagnostics unavailable) counts as empty.
bool someQueueNotEmpty(const std::set<ino_t> &sockets)
{
    if (sockets.empty())
        return false;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return false;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } query{};
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_show = UDIAG_SHOW_VFS | UDIAG_SHOW_RQLEN;
    bool notEmpty = false;
    if (::send(fd, &query, sizeof query, 0) == static_cast<ssize_t>(sizeof query)) {
        alignas(nlmsghdr) char buffer[16384];
        for (bool done = false; !done;) {
            ssize_t left = ::recv(fd, buffer, sizeof buffer, 0);
            if (left <= 0)
                break;
            for (auto *h = reinterpret_cast<nlmsghdr *>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                if (h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                    continue;
                auto *message = static_cast<unix_diag_msg *>(NLMSG_DATA(h));
                int attributesLeft = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *message));
                std::optional<ino_t> file;
                uint32_t firstDatagram = 0;
                for (auto *a = reinterpret_cast<rtattr *>(message + 1); RTA_OK(a, attributesLeft);
                     a = RTA_NEXT(a, attributesLeft)) {
                    if (a->rta_type == UNIX_DIAG_VFS && RTA_PAYLOAD(a) >= sizeof(unix_diag_vfs))
                        file = static_cast<unix_diag_vfs *>(RTA_DATA(a))->udiag_vfs_ino;
                    else if (a->rta_type == UNIX_DIAG_RQLEN && RTA_PAYLOAD(a) >= sizeof(unix_diag_rqlen))
                        firstDatagram = static_cast<unix_diag_rqlen *>(RTA_DATA(a))->udiag_rqueue;
                }
                if (file && firstDatagram > 0 && sockets.count(*file) != 0)
                    notEmpty = true;
            }
        }
    }
    ::close(fd);
    return notEmpty;
}

// How many datagrams a socket of this machine queues before a send fails.
int eventQueueCapacity()
{
    static const int capacity = [] {
        int value = 10; // the kernel's default
        if (FILE *f = fopen("/proc/sys/net/unix/max_dgram_qlen", "r")) {
            if (fscanf(f, "%d", &value) != 1)
                value = 10;
            fclose(f);
        }
        return value;
    }();
    return capacity;
}

} // namespace

int descriptorsOnFakeNodes()
{
    return countDescriptorsOnTerminals([](dev_t device) { return fakeTerminals.count(device) != 0; });
}

void ensurePreloaded(int, char **argv)
{
    // umockdev_in_mock_environment() would cache a wrong answer before the testbed exists, so
    // look for the library itself.
    if (dlopen(kPreloadLibrary, RTLD_NOW | RTLD_NOLOAD))
        return;
    std::string preload = kPreloadLibrary;
    if (const char *old = getenv("LD_PRELOAD"); old && *old)
        preload += std::string(":") + old;
    // The AddressSanitizer runtime refuses to start unless it is the first library of the
    // process. (The ThreadSanitizer runtime has no such demand, and it crashes the uninstrumented
    // programs that tests start, such as sh, when preloaded into them.)
    if (const std::string runtime = addressSanitizerRuntime(); !runtime.empty())
        preload = runtime + ":" + preload;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("fake hidraw: re-exec with the umockdev preload library");
    exit(1);
}

Testbed::Testbed() : m_tb(umockdev_testbed_new())
{
    gchar *root = umockdev_testbed_get_root_dir(testbed(m_tb));
    m_rootDir = root;
    g_free(root);
}

Testbed::~Testbed()
{
    g_object_unref(testbed(m_tb));
    for (const Retired &retired : m_retired)
        g_object_unref(retired.handler);
}

std::unique_lock<std::mutex> Testbed::makeRoomForEvents(int count)
{
    std::unique_lock<std::mutex> lock(m_eventLock);
    if (m_eventsMaybeUnread + count > eventQueueCapacity()) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (someQueueNotEmpty(eventSocketFiles(m_rootDir))) {
            if (std::chrono::steady_clock::now() >= deadline) {
                fprintf(stderr,
                        "fake hidraw: a udev monitor has not read its events for 10 s; sending more\n");
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_eventsMaybeUnread = 0;
    }
    m_eventsMaybeUnread += count;
    return lock;
}

void Testbed::retireHandler(void *handler, const std::string &devnode, dev_t terminal)
{
    std::lock_guard<std::mutex> lock(m_retiredLock);
    m_retired.push_back({handler, devnode, terminal});
    // Detaching closes the node's listening socket, which resets every connection it has not
    // accepted yet, and umockdev's worker thread accepts them whenever it gets to it; an open
    // of the node connects only after the descriptor exists. So a handler goes once no descriptor
    // is open on its terminal: the node was removed under the preload library's path lock (see
    // unplug()), so no open can find it any more, and a descriptor closed has had its socket
    // closed first. (A terminal number is not reused while a descriptor is open on it.)
    std::erase_if(m_retired, [this](const Retired &retired) {
        if (terminalInUse(retired.terminal))
            return false;
        GError *err = nullptr;
        umockdev_testbed_detach_ioctl(testbed(m_tb), retired.devnode.c_str(), &err);
        g_clear_error(&err);
        g_object_unref(retired.handler);
        return true;
    });
}

// umockdev calls a fake's handlers on its worker thread, and GLib may still call a handler that an
// emission picked just before the handler was disconnected, after the disconnection returned. So
// the handlers reach their fake only through this gate, which every connection holds a share of and
// which outlives the fake: the destructor closes it and waits for the calls that got through, and a
// call that comes later answers as the kernel answers on a removed device.
struct FakeHidraw::Gate {
    std::mutex mx;
    std::condition_variable idle;
    FakeHidraw *fake;
    int calls = 0; // handlers between enter() and leave()

    explicit Gate(FakeHidraw *f) : fake(f) {}

    FakeHidraw *enter()
    {
        std::lock_guard<std::mutex> lock(mx);
        if (fake)
            ++calls;
        return fake;
    }
    void leave()
    {
        std::lock_guard<std::mutex> lock(mx);
        if (--calls == 0)
            idle.notify_all();
    }
    void close(int callsOnThisThread)
    {
        std::unique_lock<std::mutex> lock(mx);
        fake = nullptr;
        idle.wait(lock, [&] { return calls == callsOnThisThread; });
    }
};

namespace {

// The gates whose handlers run on this thread now, innermost last.
thread_local std::vector<const void *> gatesPassedHere;

} // namespace

struct FakeHidraw::Glue {
    // One handler call through the gate: the fake, or null once it is being destroyed.
    class Pass {
    public:
        explicit Pass(gpointer data) : m_gate(**static_cast<std::shared_ptr<Gate> *>(data))
        {
            m_fake = m_gate.enter();
            if (m_fake)
                gatesPassedHere.push_back(&m_gate);
        }
        ~Pass()
        {
            if (!m_fake)
                return;
            gatesPassedHere.pop_back();
            m_gate.leave();
        }
        Pass(const Pass &) = delete;
        Pass &operator=(const Pass &) = delete;
        FakeHidraw *fake() const { return m_fake; }

    private:
        Gate &m_gate;
        FakeHidraw *m_fake;
    };

    using Body = gboolean (*)(FakeHidraw *, UMockdevIoctlClient *);
    template <Body body, int errorOnceGone>
    static gboolean through(UMockdevIoctlBase *, UMockdevIoctlClient *c, gpointer data)
    {
        const Pass pass(data);
        if (!pass.fake()) {
            umockdev_ioctl_client_complete(c, -1, errorOnceGone);
            return TRUE;
        }
        return body(pass.fake(), c);
    }

    static void connect(FakeHidraw &fake, const char *signal, GCallback handler)
    {
        g_signal_connect_data(
            fake.m_handler, signal, handler, new std::shared_ptr<Gate>(fake.m_gate),
            [](gpointer data, GClosure *) { delete static_cast<std::shared_ptr<Gate> *>(data); },
            GConnectFlags(0));
    }

    static void close(FakeHidraw &fake)
    {
        const int ownCalls =
            static_cast<int>(std::count(gatesPassedHere.begin(), gatesPassedHere.end(), fake.m_gate.get()));
        fake.m_gate->close(ownCalls);
    }

    static gboolean onIoctl(FakeHidraw *self, UMockdevIoctlClient *c) { return self->handleIoctl(c); }

    static gboolean onRead(FakeHidraw *self, UMockdevIoctlClient *c)
    {
        std::lock_guard<std::mutex> lock(self->m_mx);
        if (self->m_unplugged) {
            umockdev_ioctl_client_complete(c, -1, EIO);
            return TRUE;
        }
        if (self->m_readError) {
            umockdev_ioctl_client_complete(c, -1, self->m_readError);
            return TRUE;
        }
        if (!self->m_cfg.framedReads)
            return FALSE; // the pty's own read
        if (self->m_in.empty()) {
            if (self->m_cfg.blockOnEmptyRead) {
                self->m_pendingRead = g_object_ref(c);
                return TRUE;
            }
            return FALSE; // the pty read: EAGAIN on a non-blocking descriptor
        }
        Bytes report = std::move(self->m_in.front());
        self->m_in.pop_front();
        // Consume the token that made poll() report the report; it may still be in flight.
        pollfd pfd{self->m_slaveOwn, POLLIN, 0};
        ::poll(&pfd, 1, 1000);
        char token;
        ssize_t t = ::read(self->m_slaveOwn, &token, 1);
        (void)t;
        self->deliver(c, report);
        return TRUE;
    }

    static gboolean onWrite(FakeHidraw *self, UMockdevIoctlClient *c)
    {
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);
        Bytes payload(arg->data, arg->data + arg->data_len);
        {
            std::lock_guard<std::mutex> lock(self->m_mx);
            if (self->m_unplugged) {
                umockdev_ioctl_client_complete(c, -1, ENODEV);
                return TRUE;
            }
            self->m_writes.push_back(payload);
        }
        self->m_cv.notify_all();
        umockdev_ioctl_client_complete(c, static_cast<glong>(payload.size()), 0);
        if (self->onWrite)
            self->onWrite(payload);
        return TRUE;
    }
};

FakeHidraw::FakeHidraw(Testbed &bed, DeviceConfig config)
    : m_bed(bed), m_tb(bed.handle()), m_cfg(std::move(config))
{
    if (m_cfg.index < 0)
        m_cfg.index = bed.allocateIndex();
    const int n = m_cfg.index;
    const std::string hidName =
        format("%04X:%04X:%04X", m_cfg.bus, m_cfg.vid, m_cfg.pid) + format(".%04X", n + 1);
    if (m_cfg.bus == kBusUsb) {
        const std::string port = m_cfg.usbPort.empty() ? "1-" + std::to_string(n + 1) : m_cfg.usbPort;
        // The kernel nests a device behind a hub under the hub: 1-4/1-4.2.
        usbSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
        for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1))
            usbSysPath += "/" + port.substr(0, dot);
        usbSysPath += "/" + port;
        ifaceSysPath = usbSysPath + "/" + port + ":1." + std::to_string(m_cfg.interfaceNumber);
        hidSysPath = ifaceSysPath + "/" + hidName;
    } else {
        hidSysPath = "/sys/devices/virtual/misc/uhid/" + hidName;
    }
    devnode = "/dev/hidraw" + std::to_string(n);
    hidrawSysPath = hidSysPath + "/hidraw/hidraw" + std::to_string(n);

    // The hidraw node comes last, as from the kernel: a scanner that finds it (on another thread)
    // must find the strings in place and the ioctl socket listening.
    UMockdevTestbed *tb = testbed(m_tb);
    GError *err = nullptr;
    const std::unique_lock<std::mutex> sending = bed.makeRoomForEvents(kEventsPerDevice); // "add" each
    if (!umockdev_testbed_add_from_string(tb, sysfsDescription().c_str(), &err))
        fail("adding the device", err);
    // Strings are set as raw attribute bytes, so any UTF-8 text arrives unchanged.
    if (!usbSysPath.empty()) {
        const std::pair<const char *, const std::optional<std::string> &> strings[] = {
            {"manufacturer", m_cfg.manufacturer}, {"product", m_cfg.product}, {"serial", m_cfg.serial}};
        for (const auto &[name, value] : strings)
            if (value)
                umockdev_testbed_set_attribute(tb, usbSysPath.c_str(), name, value->c_str());
    }

    UMockdevIoctlBase *handler = umockdev_ioctl_base_new();
    m_handler = handler;
    m_gate = std::make_shared<Gate>(this);
    Glue::connect(*this, "handle-ioctl", G_CALLBACK((&Glue::through<&Glue::onIoctl, ENODEV>)));
    Glue::connect(*this, "handle-read", G_CALLBACK((&Glue::through<&Glue::onRead, EIO>)));
    Glue::connect(*this, "handle-write", G_CALLBACK((&Glue::through<&Glue::onWrite, ENODEV>)));
    if (!umockdev_testbed_attach_ioctl(tb, devnode.c_str(), handler, &err))
        fail("attaching the ioctl handler", err);

    {
        // Once a client finds the node, the worker thread reads these fields under the lock.
        std::lock_guard<std::mutex> lock(m_mx);
        if (!umockdev_testbed_add_from_string(tb, hidrawDescription().c_str(), &err))
            fail("adding the hidraw node", err);
        m_master = umockdev_testbed_get_dev_fd(tb, devnode.c_str());
        const std::string slavePath = bed.rootDir() + devnode; // a symlink to /dev/pts/K
        m_slaveOwn = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_slaveOwn >= 0)
            m_terminal = keepOwnEnd(m_slaveOwn);
    }
}

// The parents of the hidraw node in the text format of umockdev-record, outermost first.
std::string FakeHidraw::sysfsDescription() const
{
    const int n = m_cfg.index;
    std::string d;
    auto paragraph = [&](const std::string &sysPath) { d += "P: " + sysPath.substr(4) + "\n"; };
    if (!usbSysPath.empty()) {
        paragraph(usbSysPath);
        // The kernel's identity line, in the device's and the interface's uevent; wine's HID bus
        // takes the release number from the interface's.
        const std::string product = format("E: PRODUCT=%x/%x/%x\n", m_cfg.vid, m_cfg.pid, m_cfg.bcdDevice);
        d += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + product;
        d += format("A: idVendor=%04x\nA: idProduct=%04x\nA: bcdDevice=%04x\n", m_cfg.vid, m_cfg.pid,
                    m_cfg.bcdDevice);
        d += "A: busnum=1\nA: devnum=" + std::to_string(n + 2) + "\n\n";
        paragraph(ifaceSysPath);
        d += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" + product;
        d += format("A: bInterfaceNumber=%02x\nA: bInterfaceClass=03\n\n", m_cfg.interfaceNumber);
    }
    paragraph(hidSysPath);
    d += "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n";
    d += format("E: HID_ID=%04X:%08X:%08X\n", m_cfg.bus, m_cfg.vid, m_cfg.pid);
    d += "E: HID_NAME=" + m_cfg.hidName + "\nE: HID_UNIQ=" + m_cfg.hidUniq + "\n";
    d += "E: HID_PHYS=fake-" + std::to_string(n) + "/input0\n";
    d += "H: report_descriptor=" + hex(m_cfg.reportDescriptor) + "\n\n";
    return d;
}

// The hidraw child with its /dev node, the part that makes the device visible to enumeration.
std::string FakeHidraw::hidrawDescription() const
{
    const int n = m_cfg.index;
    std::string d = "P: " + hidrawSysPath.substr(4) + "\n";
    d += "N: hidraw" + std::to_string(n) + "\n"; // makes the pty-backed /dev node
    d += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/hidraw" + std::to_string(n) + "\n";
    d += "E: MAJOR=247\nE: MINOR=" + std::to_string(n) + "\nA: dev=247:" + std::to_string(n) + "\n\n";
    return d;
}

FakeHidraw::~FakeHidraw()
{
    if (!m_unplugged)
        unplug(false);
    if (m_handler) {
        // The code under test may still hold the node open, or open it a moment from now from a
        // scan that listed it just before the removal. Detaching the handler would close the
        // socket under such a descriptor, which umockdev's preload library takes for a fatal
        // error; so the node keeps its handler, whose calls fail once the gate is closed, until
        // nothing holds it open.
        Glue::close(*this);
        if (m_slaveOwn >= 0)
            closeOwnEnd(m_slaveOwn);
        m_bed.retireHandler(m_handler, devnode, m_terminal);
    } else if (m_slaveOwn >= 0) {
        closeOwnEnd(m_slaveOwn);
    }
}

void FakeHidraw::deliver(void *client, const Bytes &report)
{
    UMockdevIoctlClient *c = ioctlClient(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(c);       // the reader's buffer
    const size_t n = std::min<size_t>(report.size(), arg->data_len); // hidraw cuts long reports
    memcpy(arg->data, report.data(), n);
    umockdev_ioctl_client_complete(c, static_cast<glong>(n), 0);
}

void FakeHidraw::injectInput(const Bytes &report)
{
    std::lock_guard<std::mutex> lock(m_mx);
    if (m_unplugged)
        return;
    if (!m_cfg.framedReads) {
        ssize_t w = ::write(m_master, report.data(), report.size());
        (void)w;
        return;
    }
    if (m_pendingRead) {
        void *c = m_pendingRead;
        m_pendingRead = nullptr;
        deliver(c, report);
        g_object_unref(ioctlClient(c));
        return;
    }
    m_in.push_back(report);
    const char token = 0x55; // makes poll() on the node report POLLIN
    ssize_t w = ::write(m_master, &token, 1);
    (void)w;
}

int FakeHidraw::handleIoctl(void *client)
{
    UMockdevIoctlClient *c = ioctlClient(client);
    const gulong request = umockdev_ioctl_client_get_request(c);
    if (_IOC_TYPE(request) != 'H')
        return FALSE; // umockdev answers ENOTTY
    if (m_unplugged) {
        umockdev_ioctl_client_complete(c, -1, ENODEV);
        return TRUE;
    }
    const unsigned nr = _IOC_NR(request), size = _IOC_SIZE(request);
    GError *err = nullptr;
    UMockdevIoctlData *d = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(c), 0, size, &err);
    if (!d) {
        g_clear_error(&err);
        umockdev_ioctl_client_complete(c, -1, EFAULT);
        return TRUE;
    }
    const Bytes &rd = m_cfg.reportDescriptor;
    switch (nr) {
    case _IOC_NR(HIDIOCGRDESCSIZE): {
        const int v = static_cast<int>(rd.size());
        memcpy(d->data, &v, sizeof v);
        umockdev_ioctl_client_complete(c, 0, 0);
        break;
    }
    case _IOC_NR(HIDIOCGRDESC): {
        uint32_t want;
        memcpy(&want, d->data, sizeof want);
        if (want > HID_MAX_DESCRIPTOR_SIZE) {
            umockdev_ioctl_client_complete(c, -1, EINVAL);
            break;
        }
        memcpy(d->data + 4, rd.data(), std::min<size_t>(want, rd.size()));
        umockdev_ioctl_client_complete(c, 0, 0);
        break;
    }
    case _IOC_NR(HIDIOCGRAWINFO): {
        hidraw_devinfo info{};
        info.bustype = m_cfg.bus;
        info.vendor = static_cast<int16_t>(m_cfg.vid);
        info.product = static_cast<int16_t>(m_cfg.pid);
        memcpy(d->data, &info, sizeof info);
        umockdev_ioctl_client_complete(c, 0, 0);
        break;
    }
    case _IOC_NR(HIDIOCGRAWNAME(0)):
        completeWithName(c, d, size, m_cfg.hidName);
        break;
    case _IOC_NR(HIDIOCGRAWPHYS(0)):
        completeWithName(c, d, size, "fake-" + std::to_string(m_cfg.index) + "/input0");
        break;
    case _IOC_NR(HIDIOCGRAWUNIQ(0)):
        completeWithName(c, d, size, m_cfg.hidUniq);
        break;
    case _IOC_NR(HIDIOCSFEATURE(0)): {
        Bytes payload(d->data, d->data + size);
        int error;
        {
            std::lock_guard<std::mutex> lock(m_mx);
            error = m_featureSetError;
        }
        if (!error && m_cfg.featureSetFilter)
            error = m_cfg.featureSetFilter(payload);
        if (!error) {
            std::lock_guard<std::mutex> lock(m_mx);
            m_features.push_back(payload);
        }
        if (error) {
            umockdev_ioctl_client_complete(c, -1, error);
            break;
        }
        m_cv.notify_all();
        umockdev_ioctl_client_complete(c, static_cast<glong>(size), 0);
        if (onSetFeature)
            onSetFeature(payload);
        break;
    }
    case _IOC_NR(HIDIOCGFEATURE(0)): {
        const uint8_t id = size > 0 ? d->data[0] : 0;
        std::optional<Bytes> answer;
        {
            std::lock_guard<std::mutex> lock(m_mx);
            for (const auto &[answerId, bytes] : m_featureAnswers)
                if (answerId == id)
                    answer = bytes;
        }
        if (!answer) {
            umockdev_ioctl_client_complete(c, -1, EPIPE);
            break;
        }
        const size_t n = std::min<size_t>(answer->size(), size);
        memcpy(d->data, answer->data(), n);
        umockdev_ioctl_client_complete(c, static_cast<glong>(n), 0);
        break;
    }
    default:
        umockdev_ioctl_client_complete(c, -1, EINVAL);
        break;
    }
    g_object_unref(d);
    return TRUE;
}

std::vector<Bytes> FakeHidraw::writes()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_writes;
}

std::vector<Bytes> FakeHidraw::featuresSet()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_features;
}

bool FakeHidraw::waitForWrites(size_t count, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mx);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return m_writes.size() >= count; });
}

void FakeHidraw::setFeatureReport(uint8_t id, const Bytes &answer)
{
    std::lock_guard<std::mutex> lock(m_mx);
    m_featureAnswers.emplace_back(id, answer);
}

void FakeHidraw::failFeatureSets(int error)
{
    std::lock_guard<std::mutex> lock(m_mx);
    m_featureSetError = error;
}

size_t FakeHidraw::queuedInput()
{
    std::lock_guard<std::mutex> lock(m_mx);
    return m_in.size();
}

void FakeHidraw::failReads(int error)
{
    std::lock_guard<std::mutex> lock(m_mx);
    const bool wasFailing = m_readError != 0;
    m_readError = error;
    if (m_unplugged)
        return; // the pty is hung up, and unplug() closes it without the lock
    if (error && !wasFailing) {
        const char token = 0x55; // keeps poll() reporting POLLIN, so that readers do read
        ssize_t w = ::write(m_master, &token, 1);
        (void)w;
    } else if (!error && wasFailing) {
        pollfd pfd{m_slaveOwn, POLLIN, 0};
        ::poll(&pfd, 1, 1000);
        char token;
        ssize_t t = ::read(m_slaveOwn, &token, 1);
        (void)t;
    }
}

void FakeHidraw::unplug(bool sendUevents)
{
    UMockdevTestbed *tb = testbed(m_tb);
    {
        std::lock_guard<std::mutex> lock(m_mx);
        if (m_unplugged)
            return;
        m_unplugged = true;
        if (m_pendingRead) {
            umockdev_ioctl_client_complete(ioctlClient(m_pendingRead), -1, EIO);
            g_object_unref(ioctlClient(m_pendingRead));
            m_pendingRead = nullptr;
        }
    }
    // The node goes first, as the kernel deletes it before it announces the removal.
    const std::string &rootDir = m_bed.rootDir();
    unlinkUnderPreloadPathLock(rootDir + devnode);
    // Children first: removing a parent leaves its children's /sys/class links and /dev nodes
    // behind. The remove uevent reads the uevent file, so it goes before the removal.
    std::unique_lock<std::mutex> sending;
    if (sendUevents)
        sending = m_bed.makeRoomForEvents(kEventsPerDevice);
    for (const std::string *p : {&hidrawSysPath, &hidSysPath, &ifaceSysPath, &usbSysPath}) {
        if (p->empty())
            continue;
        if (sendUevents)
            umockdev_testbed_uevent(tb, p->c_str(), "remove");
        umockdev_testbed_remove_device(tb, p->c_str());
    }
    if (m_master >= 0) { // hang up: pollers see POLLHUP
        char name[128] = {};
        const bool haveName = ptsname_r(m_master, name, sizeof name) == 0;
        ::close(m_master);
        m_master = -1;
        if (haveName) {
            // umockdev keeps a map entry per pty and would trip over it when the pty number is
            // reused by a later device.
            std::string entry(name);
            std::replace(entry.begin(), entry.end(), '/', '_');
            ::unlink((rootDir + "/dev/.ptymap/" + entry).c_str());
        }
    }
}

} // namespace fakehid
