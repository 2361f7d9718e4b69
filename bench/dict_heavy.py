# A dict-heavy workload for bench_vs_cachegrind: fills a dictionary of
# 50,000 string keys, then probes and updates every key twice.
counts = {}
for i in range(50000):
    counts["k%d" % (i * 7919 % 50021)] = i
total = 0
for _ in range(2):
    for i in range(50000):
        key = "k%d" % i
        total += counts.get(key, 0)
        counts[key] = counts.get(key, 0) + 1
print(total)
