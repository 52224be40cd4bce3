// What the window's own checks would say of a remote request, asked before
// anything of it is typed, so that a request the window would refuse changes
// nothing: no field, no held value, no step time. Plain C++, over the same
// checks and the same Required Voltage the window's handlers use.
#ifndef APP_REMOTE_REQUESTCHECK_H
#define APP_REMOTE_REQUESTCHECK_H

#include "app/remote/console.h"

#include <array>
#include <span>
#include <string>
#include <vector>

namespace app::remote {

// The fields' texts by the number in their names: texts[7] is Text7's.
using FieldTexts = std::array<std::string, 11>;

// The texts once the fields are typed, each number as the window shows it.
FieldTexts typed(FieldTexts texts, std::span<const FieldValue> fields);

// How the window takes a request: the order to type its fields in, or why it
// would refuse it.
struct RequestPlan {
    Refusal refusal = Refusal::None;
    std::vector<FieldValue> order;
};

// The fields without a check first, then the poles and the speed in the
// order whose checks pass as each is typed (the window checks each text as
// it changes). For a start or a new count also every speed check on the
// fields the request leaves, a Required Voltage that is not refused and a
// delay count above 0, so that no client ever gets full speed. Refused: the
// first refusal, in the order the window would meet it.
RequestPlan planRequest(const FieldTexts& before, const WindowRequest& request);

}  // namespace app::remote

#endif  // APP_REMOTE_REQUESTCHECK_H
