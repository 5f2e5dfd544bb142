#pragma once
// One row of the clip list: a map with exactly the keys "name", "url", "path"
// and "creationDate". Never changed once built.
//   "name"          QString   the file name, shown readably (not-UTF-8 bytes replaced)
//   "url"           FileUrl   the entry's absolute file URL, exact bytes
//   "path"          QByteArray the path's exact bytes (shown decoded readably)
//   "creationDate"  QDateTime the birth time, or the moment the record was built
#include <QVariantMap>

#include "foundation/FileUrl.h"
#include "ui/FileUrlMetaType.h"

namespace cliploop {

using ClipRecord = QVariantMap;

}  // namespace cliploop
