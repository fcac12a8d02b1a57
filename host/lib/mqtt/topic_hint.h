// What differs between a set topic that names no published gate and the
// nearest one that does: a station not written in three digits, an area in
// lower case, a tag mistyped. For the refusal's reason.
#pragma once

#include <string>
#include <vector>

namespace qel::mqtt {

// "; did you mean P/001/DR0010/set? (the station is written in three
// digits)", or "" when no published gate is near. topic: without "/set";
// published: the gates' topics, without "/set".
std::string TopicHint(const std::string& topic, const std::vector<std::string>& published);

}  // namespace qel::mqtt
