#include "http/status_source.h"

#include <chrono>

namespace qel::http {

StatusView TakeView(const StatusSource& source) {
    StatusView view;
    view.hasLine = static_cast<bool>(source.line);
    if (view.hasLine) view.line = source.line();
    for (const FrontEndSource& frontEnd : source.frontEnds)
        if (frontEnd.take) view.frontEnds.emplace_back(frontEnd.name, frontEnd.take());
    view.now = source.now ? source.now()
                          : std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return view;
}

}  // namespace qel::http
