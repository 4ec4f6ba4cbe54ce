// The band queue under two real threads: every band is folded once, finished
// bands are taken in order, a slot is never reused before its band is taken,
// members of the next batch are opened once each, and a failure ends the
// batch for both workers. The slot and band records
// are plain memory, so ThreadSanitizer sees any access the queue leaves
// unordered.
#include "rss/band_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

namespace {

struct batch_sim_t {
    band_queue_t *queue;
    int32_t bands;
    int32_t slots;                  // 0: finished bands stay in place
    int32_t fail_at;                // a worker folding this band reports a failure; -1 never
    std::vector<int32_t> folded_by; // per band: worker + 1
    std::vector<int32_t> slot_band; // per slot: the band finished into it
    std::vector<int32_t> taken;     // bands in the order the consumer took them
    std::vector<int32_t> opened;    // per member of the next batch: times opened
    bool slot_overwritten[2] = {};  // per worker: finished into a slot still in use
    unsigned seed[2] = {};
};

void pause(std::minstd_rand &random) {
    if (random() % 4 == 0) {
        std::this_thread::yield();
    }
}

void work(batch_sim_t &s, int32_t worker) {
    std::minstd_rand random(s.seed[worker]);
    int32_t held = -1;
    for (;;) {
        const bq_step_t step = bq_next(s.queue, worker == 0, &held);
        pause(random);
        switch (step.kind) {
        case BQ_FOLD:
            s.folded_by[step.band] = worker + 1;
            if (step.band == s.fail_at) {
                bq_member_fails(s.queue, 0);
            }
            if (bq_folded(s.queue, step.band)) {
                held = step.band;
            }
            break;
        case BQ_ROUND: {
            int32_t &slot = s.slot_band[step.band % s.slots];
            s.slot_overwritten[worker] |= slot >= 0 && slot != step.band - s.slots;
            slot = step.band;
            bq_rounded(s.queue, step.band);
            break;
        }
        case BQ_TAKE:
            EXPECT_EQ(worker, 0);
            if (s.slots > 0) {
                EXPECT_EQ(s.slot_band[step.band % s.slots], step.band);
            }
            EXPECT_NE(s.folded_by[step.band], 0);
            s.taken.push_back(step.band);
            bq_taken(s.queue, step.band);
            break;
        case BQ_OPEN:
            ++s.opened[step.band];
            break;
        case BQ_DONE:
            return;
        }
    }
}

void helper_work(void *context) {
    work(*static_cast<batch_sim_t *>(context), 1);
}

TEST(BandQueue, TwoWorkersShareEveryBatchShape) {
    band_queue_t queue{};
    ASSERT_TRUE(bq_start(&queue));
    std::minstd_rand random(20261209);
    for (int round = 0; round < 300; ++round) {
        batch_sim_t s{};
        s.queue = &queue;
        s.bands = 1 + static_cast<int32_t>(random() % 40);
        s.slots = static_cast<int32_t>(random() % 3 == 0 ? 0 : 1 + random() % 4);
        s.fail_at = random() % 4 == 0 ? static_cast<int32_t>(random() % s.bands) : -1;
        const bool collect = random() % 4 != 0;
        s.folded_by.assign(s.bands, 0);
        s.opened.assign(random() % 3 == 0 ? 0 : random() % 65, 0);
        s.slot_band.assign(s.slots, -1);
        s.seed[0] = random();
        s.seed[1] = random();
        rss_plan_t plan{};
        plan.bands = s.bands;
        plan.slots = s.slots;
        SCOPED_TRACE(testing::Message()
                     << "round " << round << ": " << s.bands << " bands, " << s.slots
                     << " slots, failure at " << s.fail_at << (collect ? ", collected" : ""));

        bq_begin(&queue, &plan, collect, static_cast<int32_t>(s.opened.size()));
        bq_post(&queue, helper_work, &s);
        work(s, 0);
        bq_wait_helper(&queue);

        for (int32_t band = 0; band < s.bands; ++band) {
            EXPECT_NE(s.folded_by[band], 0) << "band " << band << " never folded";
        }
        EXPECT_FALSE(s.slot_overwritten[0] || s.slot_overwritten[1]);
        for (const int32_t times : s.opened) { // at most once, and once unless it failed
            EXPECT_EQ(times, s.fail_at < 0 ? 1 : std::min(times, 1));
        }
        for (std::size_t i = 0; i < s.taken.size(); ++i) {
            EXPECT_EQ(s.taken[i], static_cast<int32_t>(i));
        }
        if (!collect) {
            EXPECT_TRUE(s.taken.empty());
        } else if (s.fail_at < 0) {
            EXPECT_EQ(static_cast<int32_t>(s.taken.size()), s.bands);
        }
        EXPECT_EQ(bq_failed(&queue), s.fail_at < 0 ? BQ_NO_FAILURE : 0);
    }
    bq_stop(&queue);
}

// What the helper's task writes is seen by the run's thread once it has
// waited for the helper.
TEST(BandQueue, TaskDoneIsSeenThroughTheQueue) {
    band_queue_t queue{};
    ASSERT_TRUE(bq_start(&queue));
    int made = 0; // plain memory, written by the helper
    const rss_plan_t plan{};
    bq_begin(&queue, &plan, false, 0);
    bq_post(
        &queue, [](void *p) { *static_cast<int *>(p) = 1; }, &made);
    bq_wait_helper(&queue);
    EXPECT_EQ(made, 1);
    bq_wait_helper(&queue);
    bq_stop(&queue);
    bq_stop(&queue); // stopping twice is harmless
}

} // namespace
