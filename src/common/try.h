// Passing a failure on: a failed std::expected returns its error from the calling function (whose
// error type must be constructible from it), so that a call that may fail reads as one line.
// Plain statements, as -Wpedantic allows no GNU statement expressions.
//
//   WENLO_TRY(enable_neck(true));                // Result<void>, or any result not needed
//   WENLO_TRY_ASSIGN(auto port, impl_->port());  // declares port from the value
//
// The expression may hold commas; a declaration that needs one takes an alias or auto.
#pragma once

#include <expected>
#include <utility>

#define WENLO_TRY(...)                                                    \
    do {                                                                  \
        if (auto wenlo_try_result_ = (__VA_ARGS__); !wenlo_try_result_) { \
            return std::unexpected(std::move(wenlo_try_result_).error()); \
        }                                                                 \
    } while (0)

#define WENLO_TRY_ASSIGN(declaration, ...) \
    WENLO_TRY_ASSIGN_(WENLO_TRY_JOIN_(wenlo_try_result_, __LINE__), declaration, (__VA_ARGS__))

#define WENLO_TRY_ASSIGN_(result, declaration, expr)       \
    auto result = expr;                                    \
    if (!result) {                                         \
        return std::unexpected(std::move(result).error()); \
    }                                                      \
    declaration = *std::move(result)

#define WENLO_TRY_JOIN_(a, b) WENLO_TRY_JOIN2_(a, b)
#define WENLO_TRY_JOIN2_(a, b) a##b
