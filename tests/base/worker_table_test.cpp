// The shared worker table: slots claimed and freed by the parent, states
// and counters written by the workers in their own processes, totals that
// keep the counters of ended workers.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "base/worker_table.h"

namespace {

// One table for the whole test program (it is created once per process).
class worker_table_test : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(worker_table_create()); }
};

// A forked process acting as the worker of `slot`: it goes idle, takes a
// connection, answers `requests` requests and ends.
pid_t run_worker(int slot, uint64_t requests) {
    pid_t pid = fork();
    if (pid == 0) {
        g_worker_slot = slot;
        worker_set_state(worker_state::idle);
        worker_set_state(worker_state::busy);
        worker_count(connections_accepted);
        worker_count(requests_handled, requests);
        worker_set_state(worker_state::waiting);
        _exit(0);
    }
    return pid;
}

TEST_F(worker_table_test, workers_write_their_slots_and_totals_keep_ended_workers) {
    int a = worker_table_claim(1);
    int b = worker_table_claim(2);
    ASSERT_GE(a, 0);
    ASSERT_NE(a, b);
    worker_census census = worker_table_census(1);
    EXPECT_EQ(census.count(worker_state::starting), 1u);
    EXPECT_EQ(census.total, 2u);  // the total counts every generation

    pid_t pid_a = run_worker(a, 3);
    pid_t pid_b = run_worker(b, 4);
    worker_table_slot(a).pid = pid_a;
    worker_table_slot(b).pid = pid_b;
    for (pid_t pid : {pid_a, pid_b}) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
    }
    EXPECT_EQ(worker_table_census(2).count(worker_state::waiting), 1u);
    EXPECT_EQ(worker_table_total(requests_handled), 7u);
    EXPECT_EQ(worker_table_find(pid_b), b);

    worker_table_release(worker_table_find(pid_a));
    EXPECT_EQ(worker_table_total(requests_handled), 7u);
    EXPECT_EQ(worker_table_total(connections_accepted), 2u);
    EXPECT_EQ(worker_table_find(pid_a), -1);
    EXPECT_EQ(worker_table_census().total, 1u);
    // A freed slot is claimed again with its counters at zero.
    EXPECT_EQ(worker_table_claim(1), a);
    EXPECT_EQ(worker_table_slot(a).counters[requests_handled].load(), 0u);
    worker_table_release(a);
    worker_table_release(b);
    EXPECT_EQ(worker_table_total(requests_handled), 7u);
    EXPECT_EQ(worker_table()->idle_hint.load(), 0);
}

// A worker that dies while idle leaves the idle hint as if it had left.
TEST_F(worker_table_test, idle_hint_follows_idle_workers) {
    int slot = worker_table_claim(1);
    pid_t pid = fork();
    if (pid == 0) {
        g_worker_slot = slot;
        _exit(worker_set_state(worker_state::idle) == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(worker_table()->idle_hint.load(), 1);
    worker_table_release(slot);
    EXPECT_EQ(worker_table()->idle_hint.load(), 0);
    // Outside a worker the calls do nothing.
    EXPECT_EQ(worker_set_state(worker_state::busy), 0);
    worker_count(requests_handled);
}

}  // namespace
