// Reads MCAP files with an independent reader (@mcap/core) and prints what
// it found as one JSON line per file: channels with their schemas and
// message counts, and the first message of each topic decoded far enough to
// check it (ROS 1 serialisation). Both the indexed reader (summary, chunk
// indexes, CRCs) and the stream reader (every record in order) must accept
// the file, and what it holds must make sense (problems are listed).
// Usage: node check.js FILE [TOPIC=COUNT...]: with expected message counts,
// a file whose topics differ is a failure too (exit code 1).
"use strict";
const fs = require("fs");
const { McapIndexedReader, McapStreamReader } = require("@mcap/core");
const fzstd = require("fzstd");

const decompressHandlers = {
  zstd: (buffer, size) => {
    const out = fzstd.decompress(buffer);
    if (BigInt(out.length) !== size) throw new Error(`zstd chunk: ${out.length} bytes, ${size} announced`);
    return out;
  },
};

class Ros1 {
  constructor(bytes) {
    this.view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    this.bytes = bytes;
    this.at = 0;
  }
  u8() { return this.view.getUint8(this.at++); }
  u16() { const v = this.view.getUint16(this.at, true); this.at += 2; return v; }
  u32() { const v = this.view.getUint32(this.at, true); this.at += 4; return v; }
  u64() { const v = this.view.getBigUint64(this.at, true); this.at += 8; return v; }
  f32(at) { return this.view.getFloat32(at, true); }
  string() { const n = this.u32(); const s = Buffer.from(this.bytes.subarray(this.at, this.at + n)).toString(); this.at += n; return s; }
  header() { return { seq: this.u32(), sec: this.u32(), nsec: this.u32(), frame_id: this.string() }; }
}

function decode(type, data) {
  const r = new Ros1(data);
  const header = r.header();
  if (type === "sensor_msgs/PointCloud2") {
    const height = r.u32(), width = r.u32();
    const fields = [];
    for (let n = r.u32(); n > 0; --n) fields.push({ name: r.string(), offset: r.u32(), datatype: r.u8(), count: r.u32() });
    const bigendian = r.u8(), point_step = r.u32(), row_step = r.u32(), len = r.u32();
    const start = r.at;
    r.at += len;
    const dense = r.u8();
    let finite = 0, nan = 0;
    for (let i = 0; i < width * height; ++i) {
      const z = r.f32(start + i * point_step + 8);
      if (Number.isNaN(z)) ++nan; else ++finite;
    }
    return { header, height, width, fields, bigendian, point_step, row_step, data: len, dense, finite, nan, end: r.at === data.length };
  }
  if (type === "sensor_msgs/Image") {
    const height = r.u32(), width = r.u32(), encoding = r.string(), bigendian = r.u8(), step = r.u32(), len = r.u32();
    r.at += len;
    return { header, height, width, encoding, bigendian, step, data: len, end: r.at === data.length };
  }
  if (type === "vora_msgs/RawFrame") {
    const f = { header, pixel_format: r.u32(), width: r.u32(), height: r.u32(), offset_x: r.u32(), offset_y: r.u32(),
      roi_width: r.u32(), roi_height: r.u32(), cloud_unit: r.u32(), pixel_length: r.u32(),
      timestamp_ns: r.u64().toString(), block_id: r.u16(), channel: r.u16(), status: r.u32() };
    f.payload = r.u32();
    r.at += f.payload;
    f.end = r.at === data.length;
    return f;
  }
  return { header };
}

async function check(path, expected) {
  const bytes = fs.readFileSync(path);
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => new Uint8Array(bytes.buffer, bytes.byteOffset + Number(offset), Number(length)),
  };
  const reader = await McapIndexedReader.Initialize({ readable, decompressHandlers });
  const channels = {};
  for (const [id, ch] of reader.channelsById) {
    const schema = reader.schemasById.get(ch.schemaId);
    channels[id] = { topic: ch.topic, encoding: ch.messageEncoding, schema: schema.name, schema_encoding: schema.encoding,
      schema_text: new TextDecoder().decode(schema.data).split("\n")[0], messages: 0, first: null };
  }
  for await (const m of reader.readMessages()) {
    const c = channels[m.channelId];
    if (c.messages++ === 0) c.first = decode(c.schema, m.data);
  }
  const stats = reader.statistics;
  const counted = {};
  for (const [id, n] of stats.channelMessageCounts) counted[id] = Number(n);
  // The stream reader walks every record from the magic to the footer.
  const stream = new McapStreamReader({ decompressHandlers, validateCrcs: true });
  stream.append(bytes);
  let records = 0, streamMessages = 0, footer = false;
  for (let rec; (rec = stream.nextRecord()) !== undefined;) {
    ++records;
    if (rec.type === "Message") ++streamMessages;
    if (rec.type === "Footer") footer = true;
  }
  const problems = [];
  const rawSize = { 0x023000b9: 6, 0x02180014: 3, 0x01080001: 1, 0x02100032: 2, 0x01080009: 1 };
  for (const c of Object.values(channels)) {
    const f = c.first;
    if (c.encoding !== "ros1" || c.schema_encoding !== "ros1msg") problems.push(`${c.topic}: encodings ${c.encoding}, ${c.schema_encoding}`);
    if (!f) { problems.push(`${c.topic}: no message`); continue; }
    if (!f.end) problems.push(`${c.topic}: first message does not end where its fields do`);
    if (c.schema === "sensor_msgs/PointCloud2") {
      const names = f.fields.map((x) => `${x.name}:${x.offset}:${x.datatype}:${x.count}`).join(",");
      if (names !== "x:0:7:1,y:4:7:1,z:8:7:1" || f.point_step !== 12 || f.row_step !== 12 * f.width ||
          f.data !== 12 * f.width * f.height || f.bigendian !== 0 || f.finite === 0)
        problems.push(`${c.topic}: cloud ${JSON.stringify(f)}`);
    } else if (c.schema === "sensor_msgs/Image") {
      const bpp = { rgb8: 3, mono8: 1 }[f.encoding];
      if (!bpp || f.step !== bpp * f.width || f.data !== f.step * f.height) problems.push(`${c.topic}: image ${JSON.stringify(f)}`);
    } else if (c.schema === "vora_msgs/RawFrame") {
      const bpp = rawSize[f.pixel_format];
      if (!bpp || f.payload !== bpp * f.width * f.height || !c.topic.endsWith(`/ch${f.channel}/raw`))
        problems.push(`${c.topic}: raw frame ${JSON.stringify(f)}`);
    } else {
      problems.push(`${c.topic}: unexpected schema ${c.schema}`);
    }
    if (counted[Object.keys(channels).find((k) => channels[k] === c)] !== c.messages) problems.push(`${c.topic}: statistics count`);
  }
  if (!stream.done() || !footer || streamMessages !== Number(stats.messageCount)) problems.push("stream reader disagrees");
  for (const want of expected) {
    const [topic, n] = want.split("=");
    const c = Object.values(channels).find((x) => x.topic === topic);
    if (!c || c.messages !== Number(n)) problems.push(`${topic}: ${c ? c.messages : "no such topic"} messages, ${n} expected`);
  }
  if (expected.length && expected.length !== Object.keys(channels).length) problems.push("topics besides those expected");
  return {
    problems,
    file: path, profile: reader.header.profile, chunks: reader.chunkIndexes.length,
    compression: [...new Set(reader.chunkIndexes.map((c) => c.compression))],
    attachments: reader.attachmentIndexes.map((a) => a.name), metadata: reader.metadataIndexes.map((m) => m.name),
    message_count: Number(stats.messageCount), statistics_counts: counted,
    stream: { records, messages: streamMessages, footer, done: stream.done() }, channels,
  };
}

(async () => {
  const [path, ...expected] = process.argv.slice(2);
  try {
    const result = await check(path, expected);
    console.log(JSON.stringify(result));
    process.exit(result.problems.length ? 1 : 0);
  } catch (e) {
    console.log(JSON.stringify({ file: path, error: String((e && e.stack) || e) }));
    process.exit(1);
  }
})();
