#pragma once
// The host clock: monotonic time in seconds, the time base of playback and of
// published frames.
namespace cliploop {

double hostTime();

}  // namespace cliploop
