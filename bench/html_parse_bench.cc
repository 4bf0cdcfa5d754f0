// Parsing a listing page into a table, for pages of 1,000 to 100,000 entries. The time per
// entry must stay flat: the parse, the name set and the growing table are each linear.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "link/link.h"

// A page in the form nginx writes: one line per entry, a name link, its date and size.
static std::string listing_page(int64_t entries)
{
    std::string page = "<html>\n<head><title>Index of /pub/</title></head>\n<body>\n"
                       "<h1>Index of /pub/</h1><hr><pre><a href=\"../\">../</a>\n";
    char line[256];
    for (int64_t i = 0; i < entries; i++) {
        snprintf(line, sizeof line,
                 "<a href=\"file%%20%06ld.bin\">file %06ld.bin</a>%*s02-Jan-2024 03:04 %19ld\n",
                 static_cast<long>(i), static_cast<long>(i), 38, "", static_cast<long>(i * 4096));
        page += line;
    }
    page += "</pre><hr></body>\n</html>\n";
    return page;
}

static void BM_ParseListing(benchmark::State &state)
{
    const char *url = "http://127.0.0.1:8080/pub/";
    std::string page = listing_page(state.range(0));
    for (auto _ : state) {
        LinkTable *linktbl = LinkTable_alloc(url);
        LinkTable_parse_html(linktbl, url, page.c_str());
        if (linktbl->size != state.range(0) + 1)
            state.SkipWithError("wrong number of entries");
        LinkTable_free(linktbl);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(page.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseListing)
    ->RangeMultiplier(10)
    ->Range(1000, 100000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

// The process's peak resident size (VmHWM), in MiB.
static double peak_rss_mib()
{
    FILE *status = fopen("/proc/self/status", "r");
    double kib = 0;
    char line[256];
    while (status && fgets(line, sizeof line, status)) {
        if (strncmp(line, "VmHWM:", 6) == 0)
            kib = strtod(line + 6, nullptr);
    }
    if (status)
        fclose(status);
    return kib / 1024;
}

// What a page of 200,000 entries costs at its peak: the page, its parse and the filled table
// (which keeps each link's strings at their own length). Run last, so that the peak is its own.
static void BM_TableMemory200k(benchmark::State &state)
{
    const char *url = "http://127.0.0.1:8080/pub/";
    std::string page = listing_page(200000);
    for (auto _ : state) {
        LinkTable *linktbl = LinkTable_alloc(url);
        LinkTable_parse_html(linktbl, url, page.c_str());
        LinkTable_fill(linktbl);
        state.counters["peak_rss_MiB"] = peak_rss_mib();
        state.counters["entries"] = linktbl->size - 1;
        LinkTable_free(linktbl);
    }
}
BENCHMARK(BM_TableMemory200k)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
