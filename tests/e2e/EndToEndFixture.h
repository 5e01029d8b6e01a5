// The program's dialog with the real reader library and virtual readers:
// in process, or served on a pseudo-terminal as a serial device.
#pragma once

#include "dialog_driver.h"
#include "testing.h"
#include "virtual/pty_server.h"
#include "virtual/virtual_reader.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

// A virtual reader served on a pty, reachable under a fixed symlink even
// when a disconnect makes the server reopen the pty under a new name.
struct ServedReader {
    std::shared_ptr<kav::virt::VirtualReader> reader = std::make_shared<kav::virt::VirtualReader>();
    std::unique_ptr<kav::virt::PtyServer> server;
    std::string link;
    std::atomic<int> reopens{0};

    bool start(const std::string &linkPath, std::string *error) {
        link = linkPath;
        server = std::make_unique<kav::virt::PtyServer>(reader);
        server->setLinkPath(link);
        server->setReopenHandler([this](const std::string &) { ++reopens; });
        return server->start(error);
    }
    void stop() {
        if (server)
            server->stop();
    }
    // After a disconnect the pty comes back under a new name. Until then the
    // old name may already belong to another process's pty: wait for the
    // server to say it is back rather than for the name to exist.
    bool waitForReopen(int before) const {
        for (int i = 0; i < 250 && reopens.load() <= before; ++i)
            QTest::qWait(20);
        return reopens.load() > before;
    }
};

class EndToEndTest : public DialogDriver {
  protected:
    static std::string card(const char *name) {
        return std::string(KAV_CARDS_DIR) + "/" + name + ".json";
    }

    // The devices of the library's variable, then a library that starts over.
    static void mapDevices(const std::string &devices) {
        setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
        kav::testing::resetLibrary();
    }

    void SetUp() override {
        ASSERT_TRUE(folder.isValid());
        previousFolder = QDir::currentPath();
        // Photos go to the current folder until a button says otherwise.
        ASSERT_TRUE(QDir::setCurrent(folder.path()));
        mapDevices("defaults=off,1=virtual:" + card("ordinary") +
                   ",2=virtual:" + card("long-address") + ",3=virtual:" + card("mongol-female") +
                   ",4=virtual:" + card("undecodable-photo") + ",1001=virtual");
        DialogDriver::SetUp();
    }

    void TearDown() override {
        DialogDriver::TearDown();
        QDir::setCurrent(previousFolder);
    }

    static std::shared_ptr<kav::virt::VirtualReader> reader(int port) {
        return kav::testing::virtualReader(port);
    }

    QString inFolder(const QString &name) const { return folder.filePath(name); }
    QStringList photoFiles() const {
        return QDir(folder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir folder;  // photos
    QTemporaryDir devices; // device links
    QString previousFolder;
};
