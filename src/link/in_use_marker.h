// The machine-wide marker that says "a process has the device open".
//
// It exists while some process holds it and vanishes with its holder, also when the holder
// crashes. Only its existence counts: nobody waits on it. The link creates it when it opens the
// device and releases it when it closes the device.
#pragma once

#include <memory>
#include <string>

namespace tarv {

inline constexpr char IN_USE_MARKER_NAME[] = "TARV_UPDATER";

class InUseMarker {
  public:
    // A held marker; destroying it releases the marker.
    class Hold {
      public:
        virtual ~Hold() = default;
    };

    enum class Result {
        Created,        // this process holds it now
        AlreadyExists,  // another process holds it: the device is in use
        Failed,         // could not be created; the device may be used without it
    };

    virtual ~InUseMarker() = default;
    virtual Result Create(std::unique_ptr<Hold>& hold) = 0;
};

// The marker as a name in Linux's abstract socket namespace, bound while held. Such a name is not
// a file: nobody can plant or replace it, and the kernel removes it when its holder exits in any
// way. Machine-wide within one network namespace.
class AbstractSocketMarker final : public InUseMarker {
  public:
    explicit AbstractSocketMarker(std::string name = IN_USE_MARKER_NAME);
    Result Create(std::unique_ptr<Hold>& hold) override;

  private:
    std::string m_name;
};

}  // namespace tarv
