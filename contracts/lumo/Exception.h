#pragma once
// Exceptions of the object framework. The system itself raises none of its own: these
// pass through it unchanged.
#include <stdexcept>
#include <string>

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Lumo {

// A shared-memory collection found a record that failed its integrity check.
class CorruptionDetectedException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A collection setter was given a null value.
class NullArgumentException : public std::invalid_argument {
  public:
    explicit NullArgumentException(std::string const& attribute)
        : std::invalid_argument("null argument for attribute " + attribute), attribute_(attribute) {}
    std::string const& attribute() const { return attribute_; }

  private:
    std::string attribute_;
};

// An instantiating setter found an existing object built from other arguments.
class ReinstantiationException : public std::logic_error {
  public:
    explicit ReinstantiationException(std::string const& attribute)
        : std::logic_error("re-instantiation of attribute " + attribute + " with different arguments"),
          attribute_(attribute) {}
    std::string const& attribute() const { return attribute_; }

  private:
    std::string attribute_;
};

// A shared-memory collection refused a write beyond its declared capacity.
class CapacityExceededException : public std::length_error {
  public:
    using std::length_error::length_error;
};

}  // namespace Lumo

#pragma GCC visibility pop
