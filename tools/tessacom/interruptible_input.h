// Standard input for a program that a stop ends (stop_signals.h): a stream buffer over a
// descriptor whose reads end, as at the end of input, once another descriptor becomes
// readable, so that a reader blocked waiting for a line is let go.
#pragma once

#include <streambuf>

namespace tessacom {

class InterruptibleInput : public std::streambuf {
 public:
  // Reads `input`; ends when `stop` is readable (-1: never).
  InterruptibleInput(int input, int stop) : input_(input), stop_(stop) {}

 protected:
  int_type underflow() override;

 private:
  int input_;
  int stop_;
  char buffer_[4096];
};

}  // namespace tessacom
