// The application's own failures; the standard error report shows their text.
#pragma once

#include "sock/Exception.h"

#include <string>

// Reading a missing item of a text list.
class EListError : public Exception {
public:
    explicit EListError(int index)
        : Exception("リストのインデックスが範囲を超えています (" + std::to_string(index) + ")") {}
};

// A file that cannot be opened for reading.
class EFOpenError : public Exception {
public:
    explicit EFOpenError(const std::string& path)
        : Exception("ファイル " + path + " は開けません") {}
};
