#pragma once

#include <QTest>
#include <tuple>

// Fails with the whole text when it lacks the part.
#define VERIFY_CONTAINS(text, part) QVERIFY2((text).contains(part), qPrintable(text))

namespace varn::test {

// A data-driven test's columns in one line: Columns<int, QString>("size", "name").
template <typename... T, typename... N> void Columns(const N&... names) {
    static_assert(sizeof...(T) == sizeof...(N));
    (QTest::addColumn<T>(names), ...);
}

// The current row's values of the named columns, for a structured binding;
// a column of another type fails the test as QFETCH does.
template <typename... T, typename... N> std::tuple<T...> Row(const N&... names) {
    static_assert(sizeof...(T) == sizeof...(N));
    return {*static_cast<T*>(QTest::qData(names, qMetaTypeId<T>()))...};
}

} // namespace varn::test
