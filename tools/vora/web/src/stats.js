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
    const head = '<tr><th>channel</th><th>frames/s</th><th>MB/s</th><th>complete</th><th>incomplete</th>' +
      '<th>lost</th><th>resent</th><th>dropped</th><th>p50/90/99 ms</th></tr>';
    const rows = last.channels.map((c) => {
      const t = c.receive_time_ms;
      return `<tr data-channel="${c.channel}"><td>${c.channel}</td>` +
        `<td>${c.rate.frames_per_second.toFixed(1)}</td>` +
        `<td>${(c.rate.bytes_per_second / 1e6).toFixed(1)}</td>` +
        `<td class="complete">${c.frames.complete}</td><td>${c.frames.incomplete}</td>` +
        `<td>${c.packets.lost}</td><td>${c.packets.resent}</td><td>${c.packets.dropped}</td>` +
        `<td>${t ? `${ms(t.p50)}/${ms(t.p90)}/${ms(t.p99)}` : '–'}</td></tr>`;
    });
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
