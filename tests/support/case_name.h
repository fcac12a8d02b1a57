// Names parameterised cases after the `name` member of their row.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace testsupport {

template <typename Row>
std::string CaseName(const ::testing::TestParamInfo<Row>& row) {
    return std::string(row.param.name);
}

}  // namespace testsupport
