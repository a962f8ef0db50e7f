#pragma once

#include <QString>
#include <QtGlobal>

// Qt 5.14 moved the split behaviour into namespace Qt and Qt 6 keeps only
// that one; Qt 5.12 has only the QString one.
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
constexpr Qt::SplitBehaviorFlags skipEmptyParts = Qt::SkipEmptyParts;
#else
constexpr QString::SplitBehavior skipEmptyParts = QString::SkipEmptyParts;
#endif
