// The library's statistics of every channel: the latest figures in a
// table, and frames per second and megabytes per second of the last minute
// in a plot.
const LINE_COLOURS = ['#6fb1ff', '#ffb45e', '#8fdc9a'];

const ms = (v) => (v === null || v === undefined ? '–' : v.toFixed(1));

export class StatsPanel {
  constructor(table, plot, key) {
    this.table = table;
    this.plot = plot;
    this.key = key;
    this.samples = [];
  }

  show(samples) {
    this.samples = samples;
    const last = samples[samples.length - 1];
    if (!last) return;
    // A row per figure, a column per channel: narrow enough for any panel.
    const figures = [
      ['frames/s', 'rate', (c) => c.rate.frames_per_second.toFixed(1)],
      ['MB/s', 'bandwidth', (c) => (c.rate.bytes_per_second / 1e6).toFixed(1)],
      ['complete frames', 'complete', (c) => c.frames.complete],
      ['incomplete frames', 'incomplete', (c) => c.frames.incomplete],
      ['packets lost', 'lost', (c) => c.packets.lost],
      ['packets resent', 'resent', (c) => c.packets.resent],
      ['packets dropped', 'dropped', (c) => c.packets.dropped],
      ['receive time p50 ms', 'p50', (c) => ms(c.receive_time_ms?.p50)],
      ['receive time p90 ms', 'p90', (c) => ms(c.receive_time_ms?.p90)],
      ['receive time p99 ms', 'p99', (c) => ms(c.receive_time_ms?.p99)],
    ];
    const head = `<tr><th></th>${last.channels.map((c) => `<th>channel ${c.channel}</th>`).join('')}</tr>`;
    const rows = figures.map(([label, key, value]) => `<tr><td>${label}</td>${last.channels
      .map((c) => `<td data-channel="${c.channel}" data-figure="${key}">${value(c)}</td>`).join('')}</tr>`);
    this.table.innerHTML = head + rows.join('');
    this.draw();
  }

  draw() {
    const canvas = this.plot;
    const w = canvas.width;
    const h = canvas.height;
    const g = canvas.getContext('2d');
    g.clearRect(0, 0, w, h);
    const samples = this.samples;
    if (samples.length === 0) return;
    const end = samples[samples.length - 1].seconds;
    const half = h / 2;
    const charts = [
      { top: 0, label: 'frames/s', value: (c) => c.rate.frames_per_second },
      { top: half, label: 'MB/s', value: (c) => c.rate.bytes_per_second / 1e6 },
    ];
    g.font = '11px system-ui, sans-serif';
    for (const chart of charts) {
      let max = 1;
      for (const s of samples) for (const c of s.channels) max = Math.max(max, chart.value(c));
      max = Math.ceil(max * 1.1);
      const y = (v) => chart.top + half - 4 - (v / max) * (half - 18);
      const x = (t) => 40 + ((t - (end - 60)) / 60) * (w - 44);
      g.strokeStyle = '#333945';
      g.beginPath();
      g.moveTo(40, y(0));
      g.lineTo(w - 4, y(0));
      g.stroke();
      g.fillStyle = '#8b93a3';
      g.fillText(`${chart.label} (max ${max})`, 44, chart.top + 12);
      const channels = samples[samples.length - 1].channels.map((c) => c.channel);
      channels.forEach((channel, i) => {
        g.strokeStyle = LINE_COLOURS[i % LINE_COLOURS.length];
        g.beginPath();
        let started = false;
        for (const s of samples) {
          const c = s.channels.find((k) => k.channel === channel);
          if (!c || s.seconds < end - 60) continue;
          const px = x(s.seconds);
          const py = y(chart.value(c));
          if (started) g.lineTo(px, py);
          else g.moveTo(px, py);
          started = true;
        }
        g.stroke();
      });
    }
    g.fillStyle = '#8b93a3';
    g.fillText('−60 s', 4, h - 4);
    g.fillText('now', w - 26, h - 4);
    const channels = samples[samples.length - 1].channels.map((c) => c.channel);
    this.key.innerHTML = channels
      .map((c, i) => `<span style="color:${LINE_COLOURS[i % LINE_COLOURS.length]}">■</span> channel ${c}`)
      .join(' &nbsp; ');
  }
}
