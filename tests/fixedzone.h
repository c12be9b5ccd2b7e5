// TZ fixed for the lifetime of an object, and the previous value put back after.
#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

class FixedZone {
public:
    explicit FixedZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            previous_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~FixedZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    FixedZone(const FixedZone&) = delete;
    FixedZone& operator=(const FixedZone&) = delete;

private:
    std::optional<std::string> previous_;
};
