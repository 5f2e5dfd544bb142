#pragma once
// Lets a FileUrl travel in a QVariant (QVariant::fromValue / value<FileUrl>()).
#include <QMetaType>

#include "foundation/FileUrl.h"

Q_DECLARE_METATYPE(cliploop::FileUrl)
