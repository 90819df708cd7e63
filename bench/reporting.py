"""Reporting for bench.py: the tables it prints, one per goal, with the cells' units and the
reasons a cell has no figure noted under its table."""

NOTES = []


def cell(value, unit="ms"):
    if value is None:
        return "n/a"
    if isinstance(value, str):
        # Reasons are collected under the table so that the columns stay narrow.
        if value not in NOTES:
            NOTES.append(value)
        return f"n/a[{NOTES.index(value) + 1}]"
    if unit == "us":
        return f"{value * 1000:.1f}"
    if unit == "MiB":
        return f"{value:.1f}"
    if unit == "KiB":
        return f"{value / 1024:,.0f}"
    if unit == "x":
        return f"{value:.2f}x"
    if unit == "bytes":
        return f"{int(value):,}"
    if value >= 100:
        return f"{value:.0f}"
    if value >= 10:
        return f"{value:.1f}"
    return f"{value:.2f}"


def ratio(peer, ours):
    if isinstance(peer, (int, float)) and isinstance(ours, (int, float)) and ours > 0:
        return peer / ours
    return None


def table(title, header, rows, notes=()):
    global NOTES
    NOTES = []
    text_rows = [[v if u == "text" else cell(v, u) for v, u in row] for row in rows]
    widths = [max(len(h), *(len(r[i]) for r in text_rows)) for i, h in enumerate(header)]
    print()
    print(title)
    print("  ".join(h.ljust(w) if i == 0 else h.rjust(w)
                    for i, (h, w) in enumerate(zip(header, widths))))
    print("  ".join("-" * w for w in widths))
    for r in text_rows:
        print("  ".join(v.ljust(w) if i == 0 else v.rjust(w)
                        for i, (v, w) in enumerate(zip(r, widths))))
    for i, note in enumerate(NOTES):
        print(f"  [{i + 1}] {note}")
    for note in notes:
        print(f"  {note}")


def T(value):
    return (value, "text")


def P(proc, field="ms"):
    """A process result's time or memory, or its failure as a note."""
    if not proc.ok:
        return (proc.error or "failed", "ms")
    return (proc.ms, "ms") if field == "ms" else (proc.rss_mib, "MiB")


def us(ms):
    return ms * 1000 if isinstance(ms, float) else ms


def minus(proc, start):
    if proc.ok and start.ok:
        return proc.ms - start.ms
    return None
