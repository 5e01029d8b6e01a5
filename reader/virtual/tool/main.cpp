// kav-virtual-reader: a virtual reader on a pseudo-terminal. Prints the
// slave's path as its first line (and a new line each time a disconnect
// fault reopens the pty), then serves frames until SIGINT or SIGTERM.

#include "protocol/protocol.h"
#include "virtual/card_file.h"
#include "virtual/pty_server.h"
#include "virtual/virtual_reader.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <string>

namespace {

QString faultHelp() {
    QString text = QStringLiteral("Faults for --fault:\n");
    for (const kav::virt::FaultInfo &f : kav::virt::faultTable()) {
        text +=
            QStringLiteral("  %1  %2\n")
                .arg(QString::fromUtf8(f.name.data(), static_cast<qsizetype>(f.name.size())), -22)
                .arg(QString::fromUtf8(f.help.data(), static_cast<qsizetype>(f.help.size())));
    }
    return text;
}

int usageError(const QString &message) {
    std::fprintf(stderr, "kav-virtual-reader: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[]) {
    // Blocked before any thread starts, so only sigwait() below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kav-virtual-reader"));

    QCommandLineParser cli;
    cli.setApplicationDescription(
        QStringLiteral("A virtual identity-card reader with a SAM, served on a pseudo-terminal.\n"
                       "Prints the pty's path on the first line of standard output.\n\n") +
        faultHelp());
    cli.addHelpOption();
    const QCommandLineOption cardOpt(
        QStringLiteral("card"), QStringLiteral("Card file (JSON); default: the built-in card."),
        QStringLiteral("FILE"));
    const QCommandLineOption noCardOpt(QStringLiteral("no-card"),
                                       QStringLiteral("Start with no card in the field."));
    const QCommandLineOption baudOpt(QStringLiteral("baud"),
                                     QStringLiteral("The SAM's rate at start: 115200, 57600, "
                                                    "38400, 19200 or 9600."),
                                     QStringLiteral("RATE"), QStringLiteral("115200"));
    const QCommandLineOption paceOpt(
        QStringLiteral("pace"),
        QStringLiteral("Answer at the wire's speed and take a realistic time for a card read."));
    const QCommandLineOption wireOnlyOpt(
        QStringLiteral("wire-only"),
        QStringLiteral("Answer at the wire's speed but at once, with no time for the SAM's work."));
    const QCommandLineOption faultOpt(QStringLiteral("fault"),
                                      QStringLiteral("Inject a fault (repeatable; see the list)."),
                                      QStringLiteral("NAME"));
    const QCommandLineOption everyOpt(QStringLiteral("every"),
                                      QStringLiteral("Faults hit only every Nth frame they could "
                                                     "affect."),
                                      QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption delayOpt(
        QStringLiteral("delay"), QStringLiteral("Delay of the delay fault in milliseconds."),
        QStringLiteral("MS"), QString::number(kav::virt::VirtualReader::kDefaultDelay.count()));
    const QCommandLineOption linkOpt(QStringLiteral("link"),
                                     QStringLiteral("Also make a symlink PATH to the pty."),
                                     QStringLiteral("PATH"));
    cli.addOptions(
        {cardOpt, noCardOpt, baudOpt, paceOpt, wireOnlyOpt, faultOpt, everyOpt, delayOpt, linkOpt});
    cli.process(app);
    if (!cli.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument %1").arg(cli.positionalArguments().first()));

    std::optional<kav::virt::Card> card = kav::virt::defaultCard();
    if (cli.isSet(cardOpt)) {
        kav::virt::CardResult loaded = kav::virt::loadCardFile(cli.value(cardOpt).toStdString());
        if (!loaded.card)
            return usageError(QString::fromStdString(loaded.error));
        card = loaded.card;
    }
    if (cli.isSet(noCardOpt))
        card.reset();

    bool ok = false;
    const std::uint32_t baud = cli.value(baudOpt).toUInt(&ok);
    if (!ok || !kav::proto::baudCode(baud))
        return usageError(
            QStringLiteral("--baud: %1 is not one of the SAM's rates").arg(cli.value(baudOpt)));
    const unsigned every = cli.value(everyOpt).toUInt(&ok);
    if (!ok || every == 0)
        return usageError(QStringLiteral("--every: a positive number"));
    const unsigned delayMs = cli.value(delayOpt).toUInt(&ok);
    if (!ok)
        return usageError(QStringLiteral("--delay: a number of milliseconds"));

    auto reader = std::make_shared<kav::virt::VirtualReader>(card);
    reader->setBaudRate(baud);
    using Pacing = kav::virt::VirtualReader::Pacing;
    reader->setPacing(cli.isSet(paceOpt)       ? Pacing::WireAndWork
                      : cli.isSet(wireOnlyOpt) ? Pacing::Wire
                                               : Pacing::Instant);
    reader->setDelay(std::chrono::milliseconds{delayMs});
    for (const QString &name : cli.values(faultOpt)) {
        const std::optional<kav::virt::Fault> fault = kav::virt::faultFromName(name.toStdString());
        if (!fault)
            return usageError(QStringLiteral("unknown fault %1\n").arg(name) + faultHelp());
        reader->setFault(*fault, every);
    }

    kav::virt::PtyServer server(reader);
    if (cli.isSet(linkOpt))
        server.setLinkPath(cli.value(linkOpt).toStdString());
    server.setReopenHandler([](const std::string &path) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
    });
    std::string error;
    if (!server.start(&error))
        return usageError(QString::fromStdString(error));

    std::printf("%s\n", server.slavePath().c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "kav-virtual-reader: serving at %u baud%s%s; rate mismatch %s\n", baud,
                 card ? "" : ", no card",
                 cli.isSet(paceOpt)       ? ", paced"
                 : cli.isSet(wireOnlyOpt) ? ", wire speed only"
                                          : "",
                 server.seesClientRate() ? "modelled" : "not modelled (rate not visible)");

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}
