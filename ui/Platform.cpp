#include "Platform.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QThread>

#include <cmath>
#include <vector>

#ifdef VELKART_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif

namespace {

#ifdef VELKART_HAVE_ALSA
void silentAlsaErrors(const char *, int, const char *, int, const char *, ...) {}

// Plays a sine tone on the default sound device and waits for its end.
// False when there is no usable device, so the caller can fall back.
bool playAlsaTone(int frequencyHz, int durationMs) {
    snd_lib_error_set_handler(silentAlsaErrors); // no card is normal on servers
    snd_pcm_t *pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0)
        return false;
    constexpr unsigned kRate = 48000;
    bool ok = snd_pcm_nonblock(pcm, 0) == 0 &&
              snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate,
                                 1, 100000) == 0;
    if (ok) {
        std::vector<short> samples(static_cast<std::size_t>(kRate) * durationMs / 1000);
        const double step = 2.0 * M_PI * frequencyHz / kRate;
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<short>(8000 * std::sin(step * static_cast<double>(i)));
        snd_pcm_sframes_t written = 0;
        const auto total = static_cast<snd_pcm_sframes_t>(samples.size());
        while (ok && written < total) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, samples.data() + written,
                                                 static_cast<snd_pcm_uframes_t>(total - written));
            if (n < 0)
                n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
            if (n < 0)
                ok = false;
            else
                written += n;
        }
        if (ok)
            snd_pcm_drain(pcm);
    }
    snd_pcm_close(pcm);
    return ok;
}
#endif

// The toolkit's file dialog keeps its history, folder and view in the
// user's "QtProject" settings when it closes and reads them back when it
// opens, and no switch turns that off. The program keeps nothing between
// runs: settings files are placed inside /dev/null, which is no folder, so
// none can be read or created there.
void keepNoToolkitSettings() {
    static const bool placed = [] {
        for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
            for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope})
                QSettings::setPath(format, scope, QStringLiteral("/dev/null"));
        return true;
    }();
    (void)placed;
}

} // namespace

void SystemPlatform::tone(int frequencyHz, int durationMs) {
#ifdef VELKART_HAVE_ALSA
    if (playAlsaTone(frequencyHz, durationMs))
        return;
#else
    (void)frequencyHz;
#endif
    QApplication::beep();
    QThread::msleep(static_cast<unsigned long>(durationMs));
}

void SystemPlatform::pause(int durationMs) {
    QThread::msleep(static_cast<unsigned long>(durationMs));
}

void SystemPlatform::messageBox(QWidget *owner, const QString &text) {
    const QString caption = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

FolderChoice SystemPlatform::chooseFolder(QWidget *owner, const QString &prompt) {
    if (QGuiApplication::primaryScreen() == nullptr)
        return {FolderChoice::Outcome::Unavailable, {}};
    keepNoToolkitSettings();
    QFileDialog dialog(owner, prompt, QDir::homePath());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    // The prompt goes above the folder tree, as the picker's label.
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setLabelText(QFileDialog::LookIn, prompt);
    if (dialog.exec() != QDialog::Accepted)
        return {FolderChoice::Outcome::Cancelled, {}};
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty())
        return {FolderChoice::Outcome::NotFileSystem, {}};
    const QFileInfo info(chosen.first());
    if (!info.isDir())
        return {FolderChoice::Outcome::NotFileSystem, {}};
    return {FolderChoice::Outcome::Chosen, QDir::toNativeSeparators(info.absoluteFilePath())};
}

QString SystemPlatform::chooseSaveFile(QWidget *owner, const QString &caption,
                                       const QString &defaultName) {
    if (QGuiApplication::primaryScreen() == nullptr)
        return {};
    keepNoToolkitSettings();
    QFileDialog dialog(owner, caption, QDir::homePath());
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.selectFile(defaultName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

std::chrono::system_clock::time_point SystemPlatform::now() {
    return std::chrono::system_clock::now();
}
