// Opening a node the user may not open: the open fails with errno saying so, and every other
// failure says something else, so that discovery can tell the user to install the udev rules only
// when they would help.
#include "hidtest.h"
#include "test_descriptors.h"

#include <QTemporaryFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace hidtest;
using fakehid::DeviceConfig;
using fakehid::FakeHidraw;

namespace {

// Takes read and write permission on a fake node away from this thread, as udev leaves a node
// without the rules: mode 000, and for root (who is not bound by modes) the capabilities that
// override them dropped from the thread's effective set. Both come back on destruction.
class AccessDenied {
public:
    explicit AccessDenied(const FakeHidraw &fake)
    {
        const char *root = std::getenv("UMOCKDEV_DIR");
        if (root == nullptr)
            return;
        m_node = std::string(root) + fake.devnode; // the file behind the faked node
        struct stat st;
        if (stat(m_node.c_str(), &st) != 0)
            return;
        m_mode = st.st_mode & 07777;
        if (chmod(m_node.c_str(), 0) != 0)
            return;
        m_chmodded = true;
        m_denied = geteuid() != 0 || dropOverrides();
    }
    ~AccessDenied()
    {
        if (m_capsDropped)
            syscall(SYS_capset, &m_header, m_saved);
        if (m_chmodded)
            chmod(m_node.c_str(), m_mode);
    }
    AccessDenied(const AccessDenied &) = delete;
    AccessDenied &operator=(const AccessDenied &) = delete;

    bool denied() const { return m_denied; }

private:
    bool dropOverrides()
    {
        m_header = {_LINUX_CAPABILITY_VERSION_3, 0};
        if (syscall(SYS_capget, &m_header, m_saved) != 0)
            return false;
        __user_cap_data_struct reduced[2];
        std::memcpy(reduced, m_saved, sizeof reduced);
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_capsDropped = syscall(SYS_capset, &m_header, reduced) == 0;
        return m_capsDropped;
    }

    std::string m_node;
    mode_t m_mode = 0;
    bool m_chmodded = false, m_capsDropped = false, m_denied = false;
    __user_cap_header_struct m_header{};
    __user_cap_data_struct m_saved[2]{};
};

DeviceConfig controller(uint16_t product,
                        std::vector<uint8_t> descriptor = fakehid::descriptors::joystickWithIds)
{
    DeviceConfig config;
    config.pid = product;
    config.reportDescriptor = std::move(descriptor);
    return config;
}

// hid_open_path's errno for `path`, or 0 when it opened.
int openErrno(const std::string &path)
{
    errno = 0;
    Handle dev = open(path);
    const int error = errno;
    return dev ? 0 : error;
}

} // namespace

class TestHidAccess : public QObject {
    Q_OBJECT

    fakehid::Testbed bed;

private slots:
    void deniedNodeSaysPermissionDenied()
    {
        FakeHidraw single(bed, controller(0x0101));
        FakeHidraw multi(bed, controller(0x0102, fakehid::descriptors::twoCollections));
        {
            AccessDenied noSingle(single), noMulti(multi);
            if (!noSingle.denied() || !noMulti.denied())
                QSKIP("this process cannot take its own access to a file away");

            // Enumeration needs no access to the node: the controller is listed with its usage,
            // so discovery knows a controller is there.
            List list(hid_enumerate(0x1209, 0x0101));
            QVERIFY(list);
            QCOMPARE(list->usage, 4);

            for (const std::string &path : {single.devnode, single.devnode + "&col01",
                                            multi.devnode + "&col01", multi.devnode + "&col02"}) {
                QCOMPARE(openErrno(path), EACCES);
                QCOMPARE(text(hid_error(nullptr)), QString::fromLocal8Bit(strerror(EACCES)));
            }
        }
        // Once the rules grant access, the same node opens.
        QCOMPARE(openErrno(single.devnode), 0);
        QVERIFY(hid_error(nullptr) == nullptr);
    }

    void otherFailuresAreNotPermissionFailures_data()
    {
        QTest::addColumn<QString>("suffix"); // appended to the node of a fake joystick
        QTest::addColumn<QString>("path");   // used as it stands when not empty
        QTest::newRow("node gone") << QString() << "/dev/hidraw89";
        QTest::newRow("not a hidraw device") << QString() << "/dev/null";
        QTest::newRow("regular file") << QString() << "<temporary file>";
        QTest::newRow("collection the device lacks") << "&col02" << QString();
        QTest::newRow("malformed collection") << "&colzz" << QString();
        QTest::newRow("descriptor that cannot be parsed") << "<truncated>" << QString();
    }

    void otherFailuresAreNotPermissionFailures()
    {
        QFETCH(QString, suffix);
        QFETCH(QString, path);
        FakeHidraw fake(bed, controller(0x0103));
        FakeHidraw broken(bed, controller(0x0104, fakehid::descriptors::truncated));
        QTemporaryFile file;
        QVERIFY(file.open());
        std::string target = fake.devnode + suffix.toStdString();
        if (suffix == "<truncated>")
            target = broken.devnode;
        else if (path == "<temporary file>")
            target = file.fileName().toStdString();
        else if (!path.isEmpty())
            target = path.toStdString();

        // A denial just before must not linger in errno either.
        {
            AccessDenied denied(fake);
            // Whether the process can deny itself access is the environment's doing, not the
            // layer's; deniedNodeSaysPermissionDenied skips, saying so, where it cannot.
            if (denied.denied())
                QCOMPARE(openErrno(fake.devnode), EACCES);
        }
        const int error = openErrno(target);
        QVERIFY2(error != 0, target.c_str());
        QVERIFY2(error != EACCES && error != EPERM, qPrintable(QString::fromLocal8Bit(strerror(error))));
        QVERIFY(!text(hid_error(nullptr)).isEmpty());
    }

    void nullPathIsAnInvalidArgument()
    {
        errno = 0;
        QVERIFY(hid_open_path(nullptr) == nullptr);
        QCOMPARE(errno, EINVAL);
    }
};

FAKE_HIDRAW_TEST_MAIN(TestHidAccess)
#include "tst_hid_access.moc"
