// A worker thread that runs an object's Step each time a wait between steps
// ends, until Step reports that the work is done or the object is halted.
#ifndef ZUVA_OPERATIONS_ST_THREAD_H_
#define ZUVA_OPERATIONS_ST_THREAD_H_

#include <cstdint>
#include <memory>
#include <thread>

#include "common/cobject.h"
#include "operations/auto_reset_event.h"

// How many events a subclass may wait on besides the stop event.
constexpr uint32_t OP_MAX_EXTRA_EVENTS = 9;

// Exit codes of WorkerMain.
constexpr uint32_t OP_EXIT_TOO_MANY_EVENTS = 0;
constexpr uint32_t OP_EXIT_STOPPED = 1;   // stop request, or an extra-event handler ended it
constexpr uint32_t OP_EXIT_FINISHED = 2;  // Step reported the end of the work

class CSTThread : public CObject {
 public:
  CSTThread();
  // Does not halt the worker: Halt comes first.
  ~CSTThread() override;

  // Starts the worker; false when one exists already or it cannot be started.
  virtual bool LaunchWorker();
  // The worker's entry: waits on the stop event and the extra events with the
  // time-out of StepInterval, and steps whenever the wait times out.
  virtual uint32_t WorkerMain();
  // Stops the worker and waits until it has ended; false when there was none.
  virtual bool Halt(uint32_t* exitCode = nullptr);
  // One step of the work; false ends the worker.
  virtual bool Step() = 0;
  // Fills up to OP_MAX_EXTRA_EVENTS events to wait on besides the stop
  // event and returns their count; a count above that ends the worker.
  virtual uint32_t ExtraWaitEvents(CAutoResetEvent* events[OP_MAX_EXTRA_EVENTS]);
  // An extra event was signalled; false ends the worker.
  virtual bool OnExtraEvent(uint32_t index);
  // The wait before the next step, in milliseconds.
  virtual uint32_t StepInterval();

 protected:
  // Step threw (the only exception that can leave a step is an allocation
  // failure); the worker ends as if Step had returned false.
  virtual void OnStepException() {}

  CAutoResetEvent stopEvent;

 private:
  std::unique_ptr<std::thread> worker;
  uint32_t workerExitCode = 0;  // written by the worker, read after the join
};

#endif  // ZUVA_OPERATIONS_ST_THREAD_H_
