#include "RowText.h"

#include "Platform.h"

#include <QAbstractItemView>
#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QSaveFile>

#include <algorithm>
#include <chrono>
#include <numeric>

void saveRows(Platform &platform, QWidget *owner, const QString &caption,
              const QString &namePattern, int count, const RowsToText &toText,
              const QString &failure) {
    saveRows(
        platform, owner, caption, namePattern, count,
        [&toText](const QList<int> &rows, const QString &) { return toText(rows).toUtf8(); },
        failure);
}

void saveRows(Platform &platform, QWidget *owner, const QString &caption,
              const QString &namePattern, int count, const RowsToBytes &toBytes,
              const QString &failure) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(
        std::chrono::duration_cast<std::chrono::milliseconds>(platform.now().time_since_epoch())
            .count());
    const QString path = platform.chooseSaveFile(owner, caption, now.toString(namePattern));
    if (path.isEmpty())
        return;
    QList<int> rows(count);
    std::iota(rows.begin(), rows.end(), 0);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(toBytes(rows, path)) < 0 || !file.commit())
        platform.messageBox(owner, failure + file.errorString());
}

void copySelectedRows(const QAbstractItemView &view, const RowsToText &toText) {
    QList<int> rows;
    for (const QModelIndex &index : view.selectionModel()->selectedRows())
        rows.append(index.row());
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end());
    QGuiApplication::clipboard()->setText(toText(rows));
}
