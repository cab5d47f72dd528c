// The logging macros of the library's sources (KLOG_ERROR .. KLOG_DEBUG): each message goes to
// the process-wide Logger under the source file's base name and line. Any thread may log.
#pragma once

#include <sstream>
#include <string_view>

#include "kelvix/Logger.h"

namespace zol {

// The base name of a source path: no directories, no extension ("src/sdk/Cali.cpp" -> "Cali").
constexpr std::string_view sourceBaseName(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    if (slash != std::string_view::npos) {
        path.remove_prefix(slash + 1);
    }
    std::size_t dot = path.find_last_of('.');
    if (dot != std::string_view::npos) {
        path.remove_suffix(path.size() - dot);
    }
    return path;
}

}  // namespace zol

// Logs `expr` (anything a string stream takes, joined with <<) under the source name `source`
// and the calling line. Formatting is skipped when no sink takes the level.
#define KELVIX_LOG_AS(level, source, expr)                                                    \
    do {                                                                                      \
        ::zol::Logger* kelvixLogger_ = ::zol::Logger::getInstance();                          \
        if (kelvixLogger_->wants(level)) {                                                    \
            std::ostringstream kelvixLogText_;                                                \
            kelvixLogText_ << expr;                                                           \
            kelvixLogger_->write(level, std::string(source), __LINE__, kelvixLogText_.str()); \
        }                                                                                     \
    } while (0)

// Logs under the calling file's base name.
#define KELVIX_LOG(level, expr) KELVIX_LOG_AS(level, ::zol::sourceBaseName(__FILE__), expr)

#define KLOG_ERROR(expr) KELVIX_LOG(::zol::Logger::Error, expr)
#define KLOG_WARNING(expr) KELVIX_LOG(::zol::Logger::Warning, expr)
#define KLOG_INFO(expr) KELVIX_LOG(::zol::Logger::Info, expr)
#define KLOG_DEBUG(expr) KELVIX_LOG(::zol::Logger::Debug, expr)
