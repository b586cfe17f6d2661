#pragma once
#include <string>

// The controller devices report to. Its log hook has an empty body.
class TXQController {
public:
    virtual ~TXQController();

    template <class... Args>
    void InfoLog(const std::string& /*format*/, Args&&... /*args*/) {}
};
