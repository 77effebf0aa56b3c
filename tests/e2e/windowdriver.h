// Driving the real window as a user does, with the mouse and the keyboard, while simulated
// controllers come and go on fake hidraw devices.
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "mainwindow.h"
#include "ui_mainwindow.h"

namespace windowdriver {

// Long enough for two scans of the monitor (one every four seconds) on a busy machine.
constexpr int kDeviceTimeoutMs = 30000;

inline QPushButton *buttonLabelled(QWidget &window, const QString &text)
{
    for (QPushButton *button : window.findChildren<QPushButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

inline void click(QWidget *widget)
{
    QTest::mouseClick(widget, Qt::LeftButton);
}

inline bool waitForListed(MainWindow &window, const QString &entry, int timeoutMs = kDeviceTimeoutMs)
{
    return QTest::qWaitFor([&] { return window.form->deviceBox->currentText() == entry; }, timeoutMs);
}

// Opens the device list with the mouse, walks to the entry with the arrow keys and takes it with
// Enter, as a user picks a controller. (A click into a list that has just opened is taken for the
// end of the click that opened it, so the keyboard finishes the choice.)
inline bool pickDevice(MainWindow &window, const QString &entry)
{
    QComboBox *box = window.form->deviceBox;
    const int row = box->findText(entry);
    if (row < 0)
        return false;
    click(box);
    QAbstractItemView *view = box->view();
    if (!QTest::qWaitFor([&] { return view->isVisible(); }, 5000))
        return false;
    // Bounded: the list may change under the keys if the monitor rebuilds it meanwhile.
    for (int step = 0; step <= 2 * box->count() && view->currentIndex().row() != row; ++step)
        QTest::keyClick(view, view->currentIndex().row() < row ? Qt::Key_Down : Qt::Key_Up);
    QTest::keyClick(view, Qt::Key_Return);
    return QTest::qWaitFor([&] { return !view->isVisible(); }, 5000) && box->currentIndex() == row;
}

// Presses "2. Browse file" and, in the file dialog that opens, types the path and presses Enter,
// again if need be: the dialog's completer may have changed the text or taken the key.
// Returns whether the dialog was seen and took the path; a dialog still open after
// kFileDialogTimeoutMs is cancelled, so that the press returns.
constexpr int kFileDialogTimeoutMs = 10000;
inline bool chooseFile(MainWindow &window, const QString &path)
{
    bool seen = false, gaveUp = false;
    QElapsedTimer sinceSeen;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (dialog == nullptr)
            return;
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (name == nullptr || !name->isVisible())
            return;
        if (!seen)
            sinceSeen.start();
        seen = true;
        if (sinceSeen.elapsed() > kFileDialogTimeoutMs) {
            gaveUp = true;
            dialog->reject();
            return;
        }
        QCompleter *completer = name->completer();
        if (completer != nullptr && completer->popup()->isVisible()) {
            QTest::keyClick(completer->popup(), Qt::Key_Escape);
        } else if (name->text() != path) {
            name->setFocus();
            name->selectAll();
            QTest::keyClicks(name, path);
        } else {
            QTest::keyClick(name, Qt::Key_Return);
        }
    });
    poll.start();
    click(buttonLabelled(window, QStringLiteral("2. Browse file")));
    return seen && !gaveUp;
}

} // namespace windowdriver
