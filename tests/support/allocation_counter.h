#pragma once

// Counts heap allocations, so a test can prove that a real-time path makes none. A test program
// that links vocari_allocation_counter replaces the global operator new and delete (every form)
// with counting versions over malloc and free.

namespace vocari::test {

// Allocations made so far by the calling thread.
long allocationsOnThisThread();
// Allocations made so far by every thread of the process.
long allocationsInProcess();
// Frees (operator delete of a non-null pointer) made so far by every thread of the process.
long freesInProcess();

}  // namespace vocari::test
