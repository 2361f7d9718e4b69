// Support routines: the splay step against a plain in-order model, the
// zero-filled tables, the shared free list, the line table against a model,
// the periodic marks, 32-bit "%p" output and the fatal routine with its
// hook.
#include "libvantle/util.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <unordered_map>
#include <vector>

#include "isolate.h"

namespace {

int subtree_size(const tree_node *n) {
  return n ? 1 + subtree_size(n->lft) + subtree_size(n->rt) : 0;
}

void in_order(const tree_node *n, std::vector<uint32_t> &keys) {
  if (!n) return;
  in_order(n->lft, keys);
  keys.push_back(n->inum);
  in_order(n->rt, keys);
}

// Every rtwt equals the size of the node's right subtree.
bool weights_hold(const tree_node *n) {
  if (!n) return true;
  return n->rtwt == subtree_size(n->rt) && weights_hold(n->lft) &&
         weights_hold(n->rt);
}

// Builds an unbalanced search tree by plain insertion of the given keys.
tree_node *insert_plain(tree_node *root, tree_node *node) {
  if (!root) return node;
  tree_node *cur = root;
  for (;;) {
    if (node->inum < cur->inum) {
      if (!cur->lft) { cur->lft = node; break; }
      cur = cur->lft;
    } else {
      cur->rtwt++;
      if (!cur->rt) { cur->rt = node; break; }
      cur = cur->rt;
    }
  }
  return root;
}

TEST(Splay, KeepsOrderAndWeightsWhileLiftingAnyNodeToTheRoot) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; round++) {
    int count = 2 + rng() % 60;
    std::vector<tree_node> nodes(count);
    std::vector<uint32_t> keys(count);
    for (int i = 0; i < count; i++) keys[i] = i * 3;
    std::shuffle(keys.begin(), keys.end(), rng);
    tree_node *root = nullptr;
    for (int i = 0; i < count; i++) {
      nodes[i] = tree_node{};
      nodes[i].inum = keys[i];
      root = insert_plain(root, &nodes[i]);
    }
    std::vector<uint32_t> before;
    in_order(root, before);

    // The path from the root to a random node, as callers record it.
    tree_node *target = &nodes[rng() % count];
    std::vector<tree_node *> path(count + 2, nullptr);
    int top = 0;
    for (tree_node *cur = root;;) {
      path[++top] = cur;
      if (cur == target) break;
      cur = target->inum < cur->inum ? cur->lft : cur->rt;
    }
    tree_node *beyond = path[top + 1];
    for (int at = top; at > 1; at -= 2) {
      splay(at, path.data());
      std::vector<uint32_t> now;
      in_order(path[1], now);
      ASSERT_EQ(now, before);
      ASSERT_TRUE(weights_hold(path[1]));
    }
    EXPECT_EQ(path[1], target) << "the node rises to the root";
    EXPECT_EQ(path[top + 1], beyond) << "entries above at are untouched";
  }
}

TEST(Idim2, GivesZeroFilledIndependentRows) {
  uint32_t **t = idim2(5, 7);
  for (int r = 0; r < 5; r++)
    for (int c = 0; c < 7; c++) EXPECT_EQ(t[r][c], 0u);
  t[2][6] = 9;
  EXPECT_EQ(t[3][0], 0u);
  EXPECT_EQ(t[2][6], 9u);
  free(t[0]);  // the rows share one block
  free(t);
}

TEST(FreeList, ReturnsRecordsLastInFirstOutThenNull) {
  ChildOutcome o = run_isolated([] {
    hash_table a{}, b{};
    UHT_Add_to_free_list(&a);
    UHT_Add_to_free_list(&b);
    hash_table *first = UHT_Get_from_free_list();
    hash_table *second = UHT_Get_from_free_list();
    hash_table *third = UHT_Get_from_free_list();
    printf("%d %d %d", first == &b, second == &a, third == nullptr);
  });
  EXPECT_EQ(o.out, "1 1 1");
}

// The line table against a model that keeps each line's records in arrival
// order. Few distinct keys make long probe runs, duplicates and removals
// inside runs; the table grows from 1024 slots to 2^17 or more on the way, and
// a purge (remove_if) runs now and then. After every step the oldest record
// of the touched line must be the model's.
TEST(LineTable, MatchesAModelUnderChurnGrowthAndPurges) {
  static line_table t;  // tables live as long as the process, like the units'
  line_table_init(&t, "test");
  std::unordered_map<md_addr_t, std::deque<int32_t>> model;
  size_t records = 0;
  std::mt19937 rng(7);
  int32_t next_value = 0;
  auto check = [&](md_addr_t key) {
    line_record *r = line_table_find(&t, key);
    auto it = model.find(key);
    if (it == model.end() || it->second.empty()) return r == nullptr;
    return r && r->addr == key && r->a == it->second.front();
  };
  for (int step = 0; step < 400000; step++) {
    // The key range widens with time so that the table must grow.
    md_addr_t key = rng() % (64 + step / 2);
    if (step % 4 == 3) key *= 1024;  // same low bits, other high bits
    switch (rng() % 8) {
      case 0: case 1: case 2: case 3: {  // append
        line_record *r = line_table_add(&t, key);
        ASSERT_TRUE(r->addr == key && r->a == 0 && r->b == 0);
        r->a = ++next_value;
        model[key].push_back(next_value);
        records++;
        break;
      }
      case 4: case 5: case 6: {  // remove the oldest record
        line_record *r = line_table_find(&t, key);
        ASSERT_EQ(r != nullptr, model.count(key) && !model[key].empty());
        if (!r) break;
        line_table_remove(&t, r);
        model[key].pop_front();
        records--;
        break;
      }
      default:
        if (rng() % 5000) break;
        // A purge of every record whose value is odd.
        line_table_remove_if(
            &t, [](const line_record *r, void *) { return (r->a & 1) != 0; },
            nullptr);
        for (auto &[k, values] : model) {
          size_t before = values.size();
          std::erase_if(values, [](int32_t v) { return (v & 1) != 0; });
          records -= before - values.size();
        }
        for (auto &[k, values] : model) ASSERT_TRUE(check(k)) << k;
    }
    ASSERT_TRUE(check(key)) << "step " << step << " key " << key;
    ASSERT_EQ(t.count, records);
  }
  EXPECT_GE(t.mask + 1, 1u << 17);
  EXPECT_LE(t.count, (t.mask + 1) / 4 * 3);
  // In the end every record comes out, each line's oldest first.
  for (auto &[k, values] : model)
    for (int32_t v : values) {
      line_record *r = line_table_find(&t, k);
      ASSERT_TRUE(r && r->a == v) << k;
      line_table_remove(&t, r);
    }
  EXPECT_EQ(t.count, 0u);
}

// Progress lines at the multiples of P_INTERVAL, following a change made
// after initialisation; interim reports each time the count passes the save
// time, whose sums go past 2^32 without wrapping; intervals that are not
// positive turn their output off.
TEST(PeriodicMarks, CountUpWithoutWrappingAndFollowIntervalChanges) {
  ChildOutcome o = run_isolated([] {
    P_INTERVAL = 3;
    SAVE_INTERVAL = 2147483647;
    periodic_marks m;
    periodic_init(&m);
    for (uint64_t count = 1; count <= 12; count++) {
      if (count == 7) P_INTERVAL = 5;
      if (progress_due(&m, count)) printf("p%llu ", (unsigned long long)count);
    }
    for (uint64_t count : {2147483647ull, 2147483648ull, 2147483649ull,
                           4294967294ull, 4294967295ull})
      if (save_due(&m, count)) printf("s%llu ", (unsigned long long)count);
    P_INTERVAL = 0;
    SAVE_INTERVAL = -1;
    periodic_init(&m);
    for (uint64_t count = 1; count < 100; count++)
      if (progress_due(&m, count) || save_due(&m, count)) printf("x");
  });
  EXPECT_EQ(o.out, "p3 p6 p10 s2147483648 s4294967295 ");
}

TEST(Myfprintf, PrintsEachPercentPAsA32BitHexAddress) {
  ChildOutcome o = run_isolated([] {
    md_addr_t addr = 0xdeadbeefu;
    myfprintf(stdout, "addr: 0x%p; t_entries: %u; prty: %d\n", addr, 42u,
              -7);
    myfprintf(stdout, "%s %5.2f %lu %% %p|", "x", 2.5, 123456789012UL,
              static_cast<md_addr_t>(0x10));
  });
  EXPECT_EQ(o.out,
            "addr: 0xdeadbeef; t_entries: 42; prty: -7\n"
            "x  2.50 123456789012 % 10|");
}

FILE *hook_stream;
void record_hook(FILE *stream) {
  hook_stream = stream;
  fprintf(stream, "hook ran\n");
}

TEST(Fatal, NamesUnitFunctionAndLineThenRunsTheHookAndFails) {
  ChildOutcome o = run_isolated([] {
    fatal_hook(record_hook);
    _fatal("widestack", "init_widestack", 42, "out of %s memory", "virtual");
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "fatal: out of virtual memory [widestack:init_widestack, line "
            "42]\nhook ran\n");
}

TEST(Fatal, CheckedCallocRefusesASizeBeyondTheAddressSpace) {
  ChildOutcome o = run_isolated([] {
    checked_calloc(SIZE_MAX / 2, 4, "rowseer", "init_rowseer", 7);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("out of virtual memory [rowseer:init_rowseer"),
            std::string::npos);
}

}  // namespace
