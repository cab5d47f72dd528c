// Which frames the calling thread is running, so that operations that would wait for that
// very thread (stop a stream, destroy an imager) can tell and refuse instead of hanging.
#pragma once

namespace frame_thread {

// Marks the calling thread as running a frame of `owner` (a video device's sample, an
// imager's frame or callback) while it lives. Scopes nest.
class Scope {
  public:
    explicit Scope(const void* owner);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

  private:
    const void* owner_;
    const Scope* outer_;
    friend bool inFrameOf(const void* owner);
};

// The calling thread runs a frame of any owner.
bool inFrame();
// The calling thread runs a frame of `owner`.
bool inFrameOf(const void* owner);

}  // namespace frame_thread
