"""A bar chart of requests per second and p99 latency, as a plain SVG file."""
import math
from xml.sax.saxutils import escape

COLOURS = {"static": "#9a9a9a", "CGI": "#d9822b", "FastCGI": "#2b6cb0", "FastCGI libfcgi": "#8fb3dc",
           "FastCGI+keepalive": "#8e44ad", "FastCGI+keepalive libfcgi": "#c9a3db"}
LEGEND = {"static": "static file", "FastCGI libfcgi": "FastCGI (libfcgi)",
          "FastCGI+keepalive libfcgi": "FastCGI+keepalive (libfcgi)"}
LABEL_WIDTH, RATE_WIDTH, LATENCY_WIDTH, GAP = 240, 400, 260, 80
ROW, TOP = 20, 92


def decades(values):
    low = math.floor(math.log10(min(values)))
    high = math.ceil(math.log10(max(values)))
    return low, max(high, low + 1)


def scale(value, bounds, width):
    low, high = bounds
    return (math.log10(value) - low) / (high - low) * width


def rate_text(value):
    return "{:,.0f}".format(value)


def milliseconds_text(value):
    if value >= 1000:
        return "%.3g s" % (value / 1000)
    return ("%.3g" % value if value < 100 else "%.0f" % value) + " ms"


def write_chart(path, rows, title, subtitle):
    """rows: (group, label, mode, requests per second, p99 seconds), drawn in order."""
    # One decade below the slowest, so that every bar shows its length.
    rates = decades([row[3] / 10 for row in rows] + [row[3] for row in rows])
    latencies = decades([row[4] * 1000 for row in rows])
    rate_x = LABEL_WIDTH
    latency_x = rate_x + RATE_WIDTH + GAP
    width = latency_x + LATENCY_WIDTH + 70
    groups = []
    for row in rows:
        if row[0] not in groups:
            groups.append(row[0])
    height = TOP + ROW * (len(rows) + len(groups)) + 40
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
           'font-family="DejaVu Sans, Arial, sans-serif" font-size="12" fill="#222">' % (width, height, width, height),
           '<rect width="100%" height="100%" fill="#fff"/>',
           '<text x="10" y="22" font-size="15" font-weight="bold">%s</text>' % escape(title),
           '<text x="10" y="40" fill="#555">%s</text>' % escape(subtitle)]
    legend_x = 10
    used = set(row[2] for row in rows)
    for mode, colour in COLOURS.items():
        if mode not in used:
            continue
        out.append('<rect x="%d" y="50" width="12" height="12" fill="%s"/>' % (legend_x, colour))
        name = LEGEND.get(mode, mode)
        out.append('<text x="%d" y="60">%s</text>' % (legend_x + 16, escape(name)))
        legend_x += 30 + 7 * len(name)
    bottom = height - 30
    out.append('<text x="%d" y="%d" font-weight="bold">requests per second (log scale)</text>' % (rate_x, TOP - 8))
    out.append('<text x="%d" y="%d" font-weight="bold">p99 latency (log scale)</text>' % (latency_x, TOP - 8))
    for x0, bounds, span, text in ((rate_x, rates, RATE_WIDTH, rate_text),
                                   (latency_x, latencies, LATENCY_WIDTH, milliseconds_text)):
        for power in range(bounds[0], bounds[1] + 1):
            x = x0 + scale(10.0 ** power, bounds, span)
            out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, TOP, x, bottom))
            out.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#555">%s</text>'
                       % (x, bottom + 16, text(10.0 ** power)))
    y = TOP
    group = None
    for row_group, label, mode, rate, p99 in rows:
        if row_group != group:
            group = row_group
            out.append('<text x="10" y="%d" font-weight="bold">%s</text>' % (y + 14, escape(group)))
            y += ROW
        colour = COLOURS[mode]
        out.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (rate_x - 8, y + 14, escape(label)))
        bar = max(1.0, scale(rate, rates, RATE_WIDTH))
        out.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>' % (rate_x, y + 3, bar, ROW - 6, colour))
        out.append('<text x="%.1f" y="%d">%s</text>' % (rate_x + bar + 4, y + 14, rate_text(rate)))
        dot = latency_x + scale(p99 * 1000, latencies, LATENCY_WIDTH)
        out.append('<line x1="%d" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="2"/>'
                   % (latency_x, y + 10, dot, y + 10, colour))
        out.append('<circle cx="%.1f" cy="%d" r="4.5" fill="%s"/>' % (dot, y + 10, colour))
        out.append('<text x="%.1f" y="%d">%s</text>' % (dot + 8, y + 14, milliseconds_text(p99 * 1000)))
        y += ROW
    out.append("</svg>\n")
    with open(path, "w") as svg:
        svg.write("\n".join(out))
