// A tag: what a gate's words mean, as a gate list entry declares it with
// the optional fields type=, order=, scale=, offset=, unit=, deadband= and
// desc=. An entry without them keeps its old meaning (one unsigned word per
// element, or a bit), so a front-end that ignores the tag sees nothing new.
//
// The engineering value of an element is raw x scale + offset, where raw is
// the type's number taken from its words: one word for bool, int16, uint16
// and bcd16, two consecutive words for int32, uint32, float32 and bcd32, the
// high word first unless order=lo-hi. A block gate with a type is an array
// of that type: "001DR0100 10 type=int32" is 10 values over 20 words.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace qel::session {

enum class TagType { Bool, Int16, UInt16, Int32, UInt32, Float32, Bcd16, Bcd32 };
enum class WordOrder { HiLo, LoHi };

struct TagSpec {
    TagType type = TagType::UInt16;
    bool typed = false;  // type= given; otherwise bool for bits, uint16 for words
    WordOrder order = WordOrder::HiLo;
    double scale = 1;
    double offset = 0;
    std::string unit;
    std::string desc;
    double deadband = 0;  // in units; 0: every change is published

    // Words per value: 1 or 2.
    unsigned Words() const;
    // The raw value stands as it is: no type but uint16 or bool, no scaling.
    bool Identity() const;
    // The integer types' range in units (low, high), the scaling applied;
    // none for float32.
    std::optional<std::pair<double, double>> Range() const;
};

// "int32", ...; and back (nullopt for a name no type has).
const char* TagTypeName(TagType type);
std::optional<TagType> ParseTagType(const std::string& name);
bool Is32(TagType type);
// The raw numbers an integer, bcd or bool type holds (low, high); float32 (0, 0).
std::pair<double, double> RawRange(TagType type);

// The accepted values, for errors.
extern const char* const kTagTypes;  // "bool, int16, uint16, int32, uint32, float32, bcd16, bcd32"

// One field of an entry ("type", "int32"), set on spec. False with the
// reason and what is accepted in error; "" (true) for every field named
// here, false with error empty when `field` is none of them.
bool SetTagField(TagSpec& spec, const std::string& field, const std::string& value, std::string& error);
// Whether `field` is one of type, order, scale, offset, unit, deadband, desc.
bool IsTagField(const std::string& field);

// The checks of a whole entry once every field is read: a type on a bit
// gate, bool on a word gate, a deadband on a bool, more words than a block
// reads. `bits`: the gate is read as bits; `count`: its values. False with
// the reason in error.
bool CheckTag(const TagSpec& spec, bool bits, int count, std::string& error);

// A number as the messages and the published values write it: 15
// significant digits, no trailing zeros (23.5, -3276.8, 999.9, 1e-05).
std::string NumberText(double value);
// The value NumberText writes, as a number: the noise of the scaling gone
// (235 x 0.1 is 23.5, not 23.500000000000004).
double TidyValue(double value);

}  // namespace qel::session
