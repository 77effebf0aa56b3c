// Hardware plug-ins: the plug-in table built from the libraries in the folder `hardware`, and the
// binding of registered devices to the behaviour objects those libraries create.
#include "hardwareinterface.h"

#include <QDebug>
#include <QDir>
#include <QLibrary>
#include <QMutexLocker>
#include <QStringList>

#include <type_traits>

#include "device/inputdevice.h"
#include "device/pluginapi.h"
#include "pluginidentifiers.h"

static_assert(std::is_same_v<CreatePluginFunction, flasher_plugin::CreatePluginPointerFunction>,
              "the table's creators are the plug-ins' CreatePluginPointer exports");

namespace {

#if defined(Q_OS_WIN)
const QString LibraryFilter = QStringLiteral("*.dll");
#elif defined(Q_OS_MACOS)
const QString LibraryFilter = QStringLiteral("*.dylib");
#else
const QString LibraryFilter = QStringLiteral("*.so");
#endif

void logLine(const QString &line)
{
    qDebug().noquote() << line;
}

// The block handed to GetPluginIdentifier: 256 bytes. Only its first IdentifierBlockSize (70) bytes
// are read; the zeroed tail beyond them absorbs a plug-in that writes a terminator after a full
// fifth slot, which would otherwise overwrite the host's stack.
constexpr std::size_t identifierBufferSize = 256;
static_assert(identifierBufferSize > flasher_plugin::IdentifierBlockSize);

struct IdentifierBlock {
    char bytes[identifierBufferSize] = {};
};

// Plug-in code must not throw across the library boundary; one that does is treated as having
// answered nothing rather than ending the monitor thread.
bool identify(flasher_plugin::GetPluginIdentifierFunction getIdentifier, IdentifierBlock &block)
{
    try {
        getIdentifier(block.bytes);
        return true;
    } catch (...) {
        return false;
    }
}

AbstractHardware *createBehaviour(CreatePluginFunction creator, uint16_t releaseNumber)
{
    try {
        return creator(releaseNumber);
    } catch (...) {
        return nullptr;
    }
}

QString vendorProductKey(const InputDevice &device)
{
    return QString::asprintf("0x%04x-0x%04x", device.vendorId(), device.productId());
}

} // namespace

void HardwareInterface::loadPlugins()
{
    runBetweenPasses([this] {
        plugins.clear();
        const QDir folder(QDir::currentPath() + QStringLiteral("/hardware"));
        // Name filters match ignoring case unless told otherwise, so X.SO is listed as well.
        const QStringList names = folder.entryList(QStringList{LibraryFilter}, QDir::Files | QDir::NoSymLinks,
                                                   QDir::Name | QDir::IgnoreCase);
        for (const QString &name : names)
            registerPluginLibrary(folder.path() + QLatin1Char('/') + name, name);
    });
}

void HardwareInterface::registerPluginLibrary(const QString &path, const QString &fileName)
{
    QLibrary library(path);
    // Creators in the table and objects held by devices point into the library: it stays loaded.
    // Binding every symbol now turns a library that needs a function the program lacks into a
    // load error here, instead of ending the process at its first call.
    library.setLoadHints(QLibrary::PreventUnloadHint | QLibrary::ResolveAllSymbolsHint);
    if (!library.load()) {
        logLine(QStringLiteral("Error loading as hardware plugin: ") + library.errorString());
        return;
    }
    const auto getIdentifier =
        reinterpret_cast<flasher_plugin::GetPluginIdentifierFunction>(library.resolve("GetPluginIdentifier"));
    const auto creator = reinterpret_cast<CreatePluginFunction>(library.resolve("CreatePluginPointer"));
    IdentifierBlock block;
    if (getIdentifier == nullptr || creator == nullptr || !identify(getIdentifier, block)) {
        logLine(QStringLiteral("Error loading as hardware plugin: ") + library.fileName());
        return;
    }
    for (const QString &identifier : readPluginIdentifiers(block.bytes)) {
        plugins.insert(identifier, creator); // a later library takes the identifier over
        logLine(QStringLiteral("Hardware Plugin activated: ") + identifier + QLatin1Char(' ') + fileName);
    }
}

void HardwareInterface::bindPlugins()
{
    runBetweenPasses([this] {
        loadPlugins();
        bindRegisteredDevices();
    });
}

// Runs where nothing else uses the devices' behaviour objects: on the monitor thread between two
// passes, or while the loop is not running.
void HardwareInterface::bindRegisteredDevices()
{
    QHash<QString, InputDevice *> snapshot;
    {
        QMutexLocker locker(&m_registryLock);
        snapshot = devices;
    }
    for (InputDevice *device : std::as_const(snapshot)) {
        if (device == nullptr)
            continue;
        const QString key = vendorProductKey(*device);
        const CreatePluginFunction creator = plugins.value(key);
        if (creator == nullptr)
            continue;
        AbstractHardware *replacement = createBehaviour(creator, device->releaseNumber());
        if (replacement == nullptr) {
            logLine(QStringLiteral("Hardware plugin created no object for ") + key);
            continue; // the device keeps the object it has
        }
        AbstractHardware *previous = nullptr;
        {
            QMutexLocker locker(&m_registryLock);
            previous = device->replaceHardware(replacement);
        }
        delete previous;
    }
}
