// Saving and copying rows of a table as text: the event log and the frame
// monitor do both the same way, each with its own row format.
#pragma once

#include <QList>
#include <QString>

#include <functional>

class Platform;
class QAbstractItemView;
class QWidget;

using RowsToText = std::function<QString(const QList<int> &rows)>;

// Asks for a file (the default name is the clock's time through
// `namePattern`, a QDateTime format) and writes all `count` rows to it as
// UTF-8, whole or not at all. A failure shows `failure` and the reason.
void saveRows(Platform &platform, QWidget *owner, const QString &caption,
              const QString &namePattern, int count, const RowsToText &toText,
              const QString &failure);
// The same, the file's bytes made from the rows and the name chosen (its
// ending may pick the format).
using RowsToBytes = std::function<QByteArray(const QList<int> &rows, const QString &path)>;
void saveRows(Platform &platform, QWidget *owner, const QString &caption,
              const QString &namePattern, int count, const RowsToBytes &toBytes,
              const QString &failure);

// Puts the view's selected rows, in table order, on the clipboard.
void copySelectedRows(const QAbstractItemView &view, const RowsToText &toText);
