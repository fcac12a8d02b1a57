// A tag's metric: the datatype that follows its type, its engineering value
// in the metric, and the properties the birth gives it.
#pragma once

#include "session/gates/tag.h"
#include "sparkplug/sparkplug_payload.h"

namespace qel::sparkplug {

// Boolean, Int16, UInt16, Int32, UInt32 or Float as the type (a bcd16 is a
// UInt16, a bcd32 a UInt32); Double for a scaled tag, which a Float would
// change (23.4 would be 23.399999618530273).
DataType TagDataType(const session::TagSpec& spec);

// The value in the field of the metric's datatype.
void SetMetricValue(Metric& metric, double value);

// engUnit and description where the tag has them, and engLow/engHigh, the
// type's range in units, for a single value of an integer or bcd type.
void SetTagProperties(Metric& metric, const session::TagSpec& spec, bool block);

}  // namespace qel::sparkplug
