#pragma once
// The line a progress display shows while the device being read does not
// answer: during a bus reset or a card reader's pause nothing else moves,
// and without it a user cannot tell waiting from hung.
#include <QLabel>

#include <functional>

namespace salvor::windows {

// How often the facade is asked whether the device answers.
inline constexpr int kDeviceWaitPollMs = 500;

// Gives label the waiting text and shows it only while applies() (when
// given) holds and the facade says the device is not answering; hidden
// again as soon as it answers or the wait ends.
void sayWhileDeviceIsWaitedFor(QLabel* label, std::function<bool()> applies = {});

} // namespace salvor::windows
