// The window as built: its widget tree, geometry, texts, limits, menus, slots, first state and the
// compiled-in resources.

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QStatusBar>
#include <QToolBar>
#include <QVBoxLayout>
#include <QtTest>

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <type_traits>

static_assert(!std::is_polymorphic_v<MainWindowForm>, "the form record is a plain record");

class WindowFormTest : public QObject {
    Q_OBJECT
private slots:
    void init() { window = new MainWindow; }
    void cleanup() { delete window; }

    void objectTree_data();
    void objectTree();
    void texts_data();
    void texts();
    void layouts();
    void focusOrder();
    void windowProperties();
    void sizeLimitsKeepWidgetsInPlace();
    void menus();
    void nothingDisabledNoExtras();
    void slotOrder();
    void initialState();
    void resourceImages_data();
    void resourceImages();
    void windowsIconFile();

private:
    MainWindow *window = nullptr;
};

void WindowFormTest::objectTree_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry"); // null: placed by a layout or by the window

    const QRect byLayout;
    auto row = [](const char *name, const char *type, const char *parent, QRect geometry) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(type)
                            << QString::fromLatin1(parent) << geometry;
    };
    row("actionClose", "QAction", "MainWindow", byLayout);
    row("action_About", "QAction", "MainWindow", byLayout);
    row("centralWidget", "QWidget", "MainWindow", byLayout);
    row("horizontalLayoutWidget", "QWidget", "centralWidget", QRect(9, 50, 281, 111));
    row("horizontalLayout_2", "QHBoxLayout", "horizontalLayoutWidget", byLayout);
    row("groupBox_2", "QGroupBox", "horizontalLayoutWidget", byLayout);
    row("formLayoutWidget", "QWidget", "groupBox_2", QRect(9, 20, 261, 81));
    row("formLayout_2", "QFormLayout", "formLayoutWidget", byLayout);
    row("label", "QLabel", "formLayoutWidget", byLayout);
    row("lbl_manufacturer", "QLabel", "formLayoutWidget", byLayout);
    row("label_3", "QLabel", "formLayoutWidget", byLayout);
    row("lbl_product", "QLabel", "formLayoutWidget", byLayout);
    row("label_5", "QLabel", "formLayoutWidget", byLayout);
    row("lbl_version", "QLabel", "formLayoutWidget", byLayout);
    row("label_6", "QLabel", "formLayoutWidget", byLayout);
    row("lbl_serial", "QLabel", "formLayoutWidget", byLayout);
    row("deviceBox", "QComboBox", "centralWidget", QRect(10, 20, 281, 22));
    row("buttonBootloader", "QPushButton", "centralWidget", QRect(310, 20, 131, 23));
    row("buttonFile", "QPushButton", "centralWidget", QRect(310, 50, 131, 23));
    row("buttonFlash", "QPushButton", "centralWidget", QRect(310, 80, 131, 23));
    row("verticalLayoutWidget", "QWidget", "centralWidget", QRect(9, 169, 281, 91));
    row("verticalLayout", "QVBoxLayout", "verticalLayoutWidget", byLayout);
    row("groupBox", "QGroupBox", "verticalLayoutWidget", byLayout);
    row("formLayoutWidget_2", "QWidget", "groupBox", QRect(9, 19, 261, 61));
    row("formLayout", "QFormLayout", "formLayoutWidget_2", byLayout);
    row("label_7", "QLabel", "formLayoutWidget_2", byLayout);
    row("lbl_firmware", "QLabel", "formLayoutWidget_2", byLayout);
    row("label_2", "QLabel", "formLayoutWidget_2", byLayout);
    row("pbFirmware", "QProgressBar", "formLayoutWidget_2", byLayout);
    row("menuBar", "QMenuBar", "MainWindow", QRect(0, 0, 453, 21));
    row("menuFile", "QMenu", "menuBar", byLayout);
    row("menu_Help", "QMenu", "menuBar", byLayout);
}

void WindowFormTest::objectTree()
{
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);

    const QList<QObject *> matches = window->findChildren<QObject *>(name);
    QCOMPARE(matches.size(), 1);
    QObject *object = matches.first();
    QCOMPARE(QString::fromLatin1(object->metaObject()->className()), type);
    QVERIFY(object->parent() != nullptr);
    QCOMPARE(object->parent()->objectName(), parent);
    if (!geometry.isNull()) // a row of the table, not an answer: only widgets the form places have one
        QCOMPARE(qobject_cast<QWidget *>(object)->geometry(), geometry);
}

void WindowFormTest::texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    auto row = [](const char *name, const char *text) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(text);
    };
    row("actionClose", "Close");
    row("action_About", "&About");
    row("groupBox_2", "Device details");
    row("label", "Manufacturer:");
    row("lbl_manufacturer", "n.a.");
    row("label_3", "Product:");
    row("lbl_product", "");
    row("label_5", "Version:");
    row("lbl_version", "");
    row("label_6", "Serial:");
    row("lbl_serial", "");
    row("buttonBootloader", "1. Bootloader");
    row("buttonFile", "2. Browse file");
    row("buttonFlash", "3. Flash firmware");
    row("groupBox", "Firmware");
    row("label_7", "File:");
    row("lbl_firmware", "(none)");
    row("label_2", "Progress:");
    row("menuFile", "File");
    row("menu_Help", "&Help");
}

void WindowFormTest::texts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QObject *object = window->findChild<QObject *>(name);
    QVERIFY(object != nullptr);
    const char *property =
        qobject_cast<QGroupBox *>(object) || qobject_cast<QMenu *>(object) ? "title" : "text";
    QCOMPARE(object->property(property).toString(), text);
}

void WindowFormTest::layouts()
{
    MainWindowForm &form = *window->form;
    auto checkBoxLayout = [](QLayout *layout, QWidget *owner, QWidget *only) {
        QCOMPARE(owner->layout(), layout);
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(layout->count(), 1);
        QCOMPARE(layout->itemAt(0)->widget(), only);
        QCOMPARE(qobject_cast<QBoxLayout *>(layout)->stretch(0), 0);
        QCOMPARE(layout->itemAt(0)->alignment(), Qt::Alignment());
    };
    checkBoxLayout(form.horizontalLayout_2, form.horizontalLayoutWidget, form.groupBox_2);
    checkBoxLayout(form.verticalLayout, form.verticalLayoutWidget, form.groupBox);
    if (QTest::currentTestFailed()) // the lambda's checks return only from the lambda
        return;

    QCOMPARE(form.formLayoutWidget->layout(), form.formLayout_2);
    QCOMPARE(form.formLayout_2->horizontalSpacing(), 10);
    QCOMPARE(form.formLayout_2->verticalSpacing(), 6);
    QCOMPARE(form.formLayout_2->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(form.formLayoutWidget_2->layout(), form.formLayout);
    QCOMPARE(form.formLayout->horizontalSpacing(), 6);
    QCOMPARE(form.formLayout->verticalSpacing(), 6);
    QCOMPARE(form.formLayout->contentsMargins(), QMargins(0, 0, 0, 0));

    const QList<QPair<QWidget *, QWidget *>> detailRows = {{form.label, form.lbl_manufacturer},
                                                           {form.label_3, form.lbl_product},
                                                           {form.label_5, form.lbl_version},
                                                           {form.label_6, form.lbl_serial}};
    QCOMPARE(form.formLayout_2->rowCount(), detailRows.size());
    for (int row = 0; row < detailRows.size(); ++row) {
        QCOMPARE(form.formLayout_2->itemAt(row, QFormLayout::LabelRole)->widget(), detailRows[row].first);
        QCOMPARE(form.formLayout_2->itemAt(row, QFormLayout::FieldRole)->widget(), detailRows[row].second);
    }
    QCOMPARE(form.formLayout->rowCount(), 2);
    QCOMPARE(form.formLayout->itemAt(0, QFormLayout::LabelRole)->widget(), form.label_7);
    QCOMPARE(form.formLayout->itemAt(0, QFormLayout::FieldRole)->widget(), form.lbl_firmware);
    QCOMPARE(form.formLayout->itemAt(1, QFormLayout::LabelRole)->widget(), form.label_2);
    QCOMPARE(form.formLayout->itemAt(1, QFormLayout::FieldRole)->widget(), form.pbFirmware);

    QCOMPARE(window->centralWidget(), form.centralWidget);
    QCOMPARE(window->menuBar(), form.menuBar);
}

void WindowFormTest::focusOrder()
{
    MainWindowForm &form = *window->form;
    const QList<QWidget *> expected = {form.deviceBox, form.buttonBootloader, form.buttonFile,
                                       form.buttonFlash};
    QList<QWidget *> seen;
    QWidget *widget = form.deviceBox;
    do {
        if (expected.contains(widget))
            seen.append(widget);
        widget = widget->nextInFocusChain();
    } while (widget != form.deviceBox);
    QCOMPARE(seen, expected);
    for (QWidget *w : expected)
        QVERIFY(w->focusPolicy() & Qt::TabFocus);
}

void WindowFormTest::windowProperties()
{
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Firmware flasher"));
    QCOMPARE(window->windowModality(), Qt::ApplicationModal);
    QCOMPARE(window->size(), QSize(453, 306));
    QCOMPARE(window->minimumSize(), QSize(453, 269));
    QCOMPARE(window->maximumSize(), QSize(720, 480));
    const QSizePolicy policy = window->sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.horizontalStretch(), 0);
    QCOMPARE(policy.verticalStretch(), 0);

    for (QWidget *widget : {static_cast<QWidget *>(window), static_cast<QWidget *>(window->form->label)}) {
        QCOMPARE(int(widget->locale().language()), 75);
        QCOMPARE(int(widget->locale().territory()), 246);
        QCOMPARE(widget->locale(), QLocale(QLocale::English, QLocale::UnitedKingdom));
    }
    QVERIFY(window->form->label->testAttribute(Qt::WA_SetLocale));
}

void WindowFormTest::sizeLimitsKeepWidgetsInPlace()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const QList<QWidget *> widgets = window->form->centralWidget->findChildren<QWidget *>();
    for (QWidget *placed :
         {static_cast<QWidget *>(window->form->deviceBox), static_cast<QWidget *>(window->form->buttonFlash),
          static_cast<QWidget *>(window->form->pbFirmware)})
        QVERIFY(widgets.contains(placed));
    QList<QRect> before;
    for (QWidget *widget : widgets)
        before.append(widget->geometry());

    window->resize(2000, 2000);
    QCOMPARE(window->size(), QSize(720, 480));
    window->resize(10, 10);
    QCOMPARE(window->size(), QSize(453, 269));
    window->resize(600, 400);
    QCOMPARE(window->size(), QSize(600, 400));
    QCoreApplication::processEvents();

    for (int i = 0; i < widgets.size(); ++i)
        QCOMPARE(widgets[i]->geometry(), before[i]);
}

void WindowFormTest::menus()
{
    MainWindowForm &form = *window->form;
    QCOMPARE(form.menuBar->actions(),
             (QList<QAction *>{form.menuFile->menuAction(), form.menu_Help->menuAction()}));
    QCOMPARE(form.menuFile->actions(), QList<QAction *>{form.actionClose});
    QCOMPARE(form.menu_Help->actions(), QList<QAction *>{form.action_About});
}

void WindowFormTest::nothingDisabledNoExtras()
{
    QVERIFY(window->findChildren<QToolBar *>().isEmpty());
    QVERIFY(window->findChildren<QStatusBar *>().isEmpty());
    const QList<QWidget *> widgets = window->findChildren<QWidget *>();
    for (QWidget *named :
         {static_cast<QWidget *>(window->form->deviceBox),
          static_cast<QWidget *>(window->form->buttonBootloader),
          static_cast<QWidget *>(window->form->buttonFile), static_cast<QWidget *>(window->form->buttonFlash),
          static_cast<QWidget *>(window->form->pbFirmware)})
        QVERIFY(widgets.contains(named));
    for (QWidget *widget : widgets) {
        QVERIFY2(widget->isEnabled(), qPrintable(widget->objectName()));
        QVERIFY2(widget->toolTip().isEmpty(), qPrintable(widget->objectName()));
    }
    for (QAction *action : {window->form->actionClose, window->form->action_About}) {
        QVERIFY(action->isEnabled());
        QVERIFY(action->shortcuts().isEmpty());
    }
}

void WindowFormTest::slotOrder()
{
    const QMetaObject *meta = window->metaObject();
    const QStringList expected = {
        "on_actionClose_triggered()",
        "on_action_About_triggered()",
        "on_deviceBox_currentIndexChanged(int)",
        "on_buttonBootloader_clicked()",
        "on_buttonFile_clicked()",
        "on_buttonFlash_clicked()",
        "onHardwareChange()",
        "FirmwareFlash(uint,uint)",
    };
    QCOMPARE(meta->methodCount() - meta->methodOffset(), int(expected.size()));
    for (int index = 0; index < expected.size(); ++index) {
        const QMetaMethod method = meta->method(meta->methodOffset() + index);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(QString::fromLatin1(method.methodSignature()), expected[index]);
    }
}

void WindowFormTest::initialState()
{
    MainWindowForm &form = *window->form;
    QCOMPARE(form.deviceBox->count(), 0);
    QCOMPARE(form.lbl_manufacturer->text(), QStringLiteral("n.a."));
    QVERIFY(form.lbl_product->text().isEmpty());
    QVERIFY(form.lbl_version->text().isEmpty());
    QVERIFY(form.lbl_serial->text().isEmpty());
    QCOMPARE(form.lbl_firmware->text(), QStringLiteral("(none)"));
    QCOMPARE(form.pbFirmware->value(), 0);
    QCOMPARE(form.pbFirmware->minimum(), 0);
    QCOMPARE(form.pbFirmware->maximum(), 100);
    QVERIFY(window->firmwareFile.isEmpty());
    QVERIFY(!window->firmwareFile.isNull());
    QCOMPARE(window->selectedSerial[0], '\0');
    QCOMPARE(window->selectedProduct[0], '\0');
    QVERIFY(window->monitor.isRunning());
    QVERIFY(window->monitor.parent() == nullptr);
    QCOMPARE(window->monitor.thread(), window->thread());
}

void WindowFormTest::resourceImages_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("test firmware picture") << ":/img/img/test.fw.png" << QSize(150, 150);
    QTest::newRow("wheel firmware picture") << ":/img/img/wheel.fw.png" << QSize(900, 900);
    QTest::newRow("product logo") << ":/img/img/product-logo.png" << QSize(537, 49);
    QTest::newRow("maker's logo") << ":/img/img/maker-logo.png" << QSize(100, 100);
    for (int size : {16, 32, 48, 64})
        QTest::addRow("icon %d", size)
            << QStringLiteral(":/icons/flasher-%1.png").arg(size) << QSize(size, size);
}

void WindowFormTest::resourceImages()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    const QResource resource(path);
    QVERIFY2(resource.isValid(), qPrintable(path));
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    QImageReader reader(path);
    QCOMPARE(reader.format(), QByteArray("png"));
    const QImage image = reader.read();
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
}

void WindowFormTest::windowsIconFile()
{
    QImageReader reader(QStringLiteral(FLASHER_SOURCE_DIR "/resources/flasher.ico"), "ico");
    if (!reader.canRead())
        QSKIP("no .ico reader in this Qt installation");
    QList<int> sizes;
    do {
        const QImage image = reader.read();
        QVERIFY(!image.isNull());
        QCOMPARE(image.width(), image.height());
        QVERIFY(image.hasAlphaChannel());
        sizes.append(image.width());
    } while (reader.jumpToNextImage());
    QCOMPARE(sizes, (QList<int>{16, 32, 48, 64}));
}

QTEST_MAIN(WindowFormTest)
#include "tst_windowform.moc"
