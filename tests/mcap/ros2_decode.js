// Decodes ROS 2 messages (CDR) with independent code from npm, for the tests:
// what the library and the bridge write must read back as ROS 2 would read it.
//
//   node ros2_decode.js bag FILE.mcap
//       Every `cdr` message of an MCAP file, decoded with the file's own
//       `ros2msg` schema texts. Also checks what makes the file a ROS 2 bag:
//       profile `ros2`, every channel `cdr` with a `ros2msg` schema named
//       pkg/msg/Name, `offered_qos_profiles` on every channel, and the
//       `rosbag2` metadata with its serialized_metadata.
//   node ros2_decode.js samples DIR
//       Raw serialized payloads (4-byte encapsulation header first), one per
//       file named <seq>-<pkg>__msg__<Name>.cdr, decoded with the ROS 2
//       definitions of @foxglove/rosmsg-msgs-common (plus the graph's own
//       rmw_dds_common/msg/ParticipantEntitiesInfo, defined below).
//
// Prints one JSON line per message (in file order, or by file name), then a
// last line {"summary": ...} with the problems found; exit code 1 when there
// are any, 2 for bad usage.
"use strict";
const fs = require("fs");
const path = require("path");
const { McapIndexedReader } = require("@mcap/core");
const { parse } = require("@foxglove/rosmsg");
const { MessageReader } = require("@foxglove/rosmsg2-serialization");
const msgsCommon = require("@foxglove/rosmsg-msgs-common");
const fzstd = require("fzstd");

// From Iron on a Gid is 16 bytes (24 before), the layout the bridge speaks.
const PARTICIPANT_ENTITIES_INFO = `Gid gid
NodeEntitiesInfo[] node_entities_info_seq
================================================================================
MSG: rmw_dds_common/Gid
uint8[16] data
================================================================================
MSG: rmw_dds_common/NodeEntitiesInfo
string<=256 node_namespace
string<=256 node_name
Gid[] reader_gid_seq
Gid[] writer_gid_seq
`;

const SEPARATOR = "=".repeat(80);
const problems = [];

// JSON for lines: 64-bit integers as decimal strings.
function json(value) {
  return JSON.stringify(value, (key, v) => (typeof v === "bigint" ? v.toString() : v));
}

function hex(bytes) {
  return Buffer.from(bytes).toString("hex");
}

function stampOf(h) {
  return h && h.stamp ? { sec: h.stamp.sec, nanosec: h.stamp.nanosec } : undefined;
}

// The cloud's points read by its own fields: how many have a finite z, how
// many are NaN, and the range of z (metres in a ROS cloud).
function cloudFigures(m) {
  const out = { finite: 0, nan: 0, z_min: null, z_max: null, xyz_max_abs: null };
  const field = (name) => m.fields.find((f) => f.name === name && f.datatype === 7 && f.count === 1);
  const fx = field("x"), fy = field("y"), fz = field("z");
  if (!fz || m.is_bigendian) return out;
  const data = m.data;
  const view = new DataView(data.buffer, data.byteOffset, data.byteLength);
  const points = m.width * m.height;
  if (points * m.point_step > data.byteLength) {
    problems.push(`cloud of ${points} points, step ${m.point_step}, holds only ${data.byteLength} bytes`);
    return out;
  }
  let maxAbs = 0;
  for (let i = 0; i < points; ++i) {
    const at = i * m.point_step;
    const z = view.getFloat32(at + fz.offset, true);
    if (Number.isNaN(z)) { ++out.nan; continue; }
    ++out.finite;
    out.z_min = out.z_min === null ? z : Math.min(out.z_min, z);
    out.z_max = out.z_max === null ? z : Math.max(out.z_max, z);
    for (const f of [fx, fy, fz]) if (f) maxAbs = Math.max(maxAbs, Math.abs(view.getFloat32(at + f.offset, true)));
  }
  out.xyz_max_abs = out.finite ? maxAbs : null;
  return out;
}

// What a test needs of a decoded message, by type.
function describe(type, m) {
  const out = { type };
  if (m.header) {
    out.frame_id = m.header.frame_id;
    out.stamp = stampOf(m.header);
  }
  switch (type) {
    case "sensor_msgs/msg/PointCloud2":
      Object.assign(out, {
        height: m.height, width: m.width,
        fields: m.fields.map((f) => ({ name: f.name, offset: f.offset, datatype: f.datatype, count: f.count })),
        is_bigendian: m.is_bigendian, point_step: m.point_step, row_step: m.row_step,
        data: m.data.byteLength, is_dense: m.is_dense,
      }, cloudFigures(m));
      break;
    case "sensor_msgs/msg/Image": {
      Object.assign(out, { height: m.height, width: m.width, encoding: m.encoding, is_bigendian: m.is_bigendian,
        step: m.step, data: m.data.byteLength });
      if (m.encoding === "16UC1" && !m.is_bigendian) {
        const v = new DataView(m.data.buffer, m.data.byteOffset, m.data.byteLength);
        let nonzero = 0, max = 0;
        for (let i = 0; i + 1 < m.data.byteLength; i += 2) {
          const d = v.getUint16(i, true);
          if (d) { ++nonzero; max = Math.max(max, d); }
        }
        Object.assign(out, { nonzero, max });
      }
      break;
    }
    case "sensor_msgs/msg/CameraInfo":
      Object.assign(out, { height: m.height, width: m.width, distortion_model: m.distortion_model,
        d: Array.from(m.d), k: Array.from(m.k), r: Array.from(m.r), p: Array.from(m.p),
        binning_x: m.binning_x, binning_y: m.binning_y, roi: m.roi });
      break;
    case "tf2_msgs/msg/TFMessage":
      out.transforms = m.transforms.map((t) => ({
        frame_id: t.header.frame_id, stamp: stampOf(t.header), child_frame_id: t.child_frame_id,
        translation: [t.transform.translation.x, t.transform.translation.y, t.transform.translation.z],
        rotation: [t.transform.rotation.x, t.transform.rotation.y, t.transform.rotation.z, t.transform.rotation.w],
      }));
      break;
    case "rmw_dds_common/msg/ParticipantEntitiesInfo":
      out.gid = hex(m.gid.data);
      out.nodes = m.node_entities_info_seq.map((n) => ({
        namespace: n.node_namespace, name: n.node_name,
        readers: n.reader_gid_seq.map((g) => hex(g.data)), writers: n.writer_gid_seq.map((g) => hex(g.data)),
      }));
      break;
    default:
      for (const [key, value] of Object.entries(m)) {
        if (key === "header") continue;
        out[key] = value instanceof Uint8Array ? value.byteLength : value;
      }
  }
  return out;
}

// Decodes one payload; the encapsulation must be plain little-endian CDR and
// the message must use up the payload (up to 3 bytes of alignment padding).
function decode(reader, type, bytes, where) {
  if (bytes.byteLength < 4 || bytes[0] !== 0x00 || bytes[1] !== 0x01) {
    problems.push(`${where}: encapsulation ${hex(bytes.subarray(0, 4))}, not CDR little-endian (00 01)`);
    return null;
  }
  let m;
  try {
    m = reader.readMessage(bytes);
  } catch (e) {
    problems.push(`${where}: ${type} does not decode: ${e.message}`);
    return null;
  }
  const out = describe(type, m);
  out.encapsulation = hex(bytes.subarray(0, 4));
  out.bytes = bytes.byteLength;
  out.trailing = bytes.byteLength - reader.lastReadByteLength();
  if (out.trailing > 3) problems.push(`${where}: ${out.trailing} bytes after the message`);
  return out;
}

function parseDefinition(type, text, where) {
  if (text.split("\n").some((line) => line.startsWith("====") && line !== SEPARATOR))
    problems.push(`${where}: a separator line that is not 80 '='`);
  try {
    return parse(text, { ros2: true });
  } catch (e) {
    problems.push(`${where}: schema of ${type} does not parse: ${e.message}`);
    return null;
  }
}

async function bag(file) {
  const bytes = fs.readFileSync(file);
  const readable = {
    size: async () => BigInt(bytes.length),
    read: async (offset, length) => new Uint8Array(bytes.buffer, bytes.byteOffset + Number(offset), Number(length)),
  };
  const reader = await McapIndexedReader.Initialize({
    readable,
    decompressHandlers: { zstd: (buffer) => fzstd.decompress(buffer) },
  });
  if (reader.header.profile !== "ros2") problems.push(`profile "${reader.header.profile}", not "ros2"`);
  const channels = new Map();
  for (const [id, ch] of reader.channelsById) {
    const schema = reader.schemasById.get(ch.schemaId);
    const where = ch.topic;
    const c = { topic: ch.topic, type: schema ? schema.name : "", reader: null, messages: 0 };
    channels.set(id, c);
    if (!schema) { problems.push(`${where}: no schema`); continue; }
    if (ch.messageEncoding !== "cdr") problems.push(`${where}: message encoding ${ch.messageEncoding}, not cdr`);
    if (schema.encoding !== "ros2msg") problems.push(`${where}: schema encoding ${schema.encoding}, not ros2msg`);
    if (!/^[A-Za-z][A-Za-z0-9_]*\/msg\/[A-Za-z][A-Za-z0-9_]*$/.test(schema.name))
      problems.push(`${where}: type ${schema.name}, not pkg/msg/Name`);
    if (!ch.metadata.has("offered_qos_profiles")) problems.push(`${where}: no offered_qos_profiles`);
    c.qos = ch.metadata.get("offered_qos_profiles");
    const defs = parseDefinition(schema.name, new TextDecoder().decode(schema.data), where);
    if (defs) c.reader = new MessageReader(defs);
  }
  let rosbag2 = null;
  for await (const m of reader.readMetadata({ name: "rosbag2" })) rosbag2 = Object.fromEntries(m.metadata);
  if (!rosbag2 || !rosbag2.serialized_metadata) problems.push("no rosbag2 metadata with serialized_metadata");
  for await (const m of reader.readMessages()) {
    const c = channels.get(m.channelId);
    ++c.messages;
    if (!c.reader) continue;
    const out = decode(c.reader, c.type, m.data, `${c.topic} #${c.messages}`);
    if (out) {
      console.log(json(Object.assign({ topic: c.topic }, out,
        { log_time: m.logTime.toString(), publish_time: m.publishTime.toString() })));
    }
  }
  const topics = {};
  for (const c of channels.values()) topics[c.topic] = { type: c.type, messages: c.messages, qos: c.qos };
  return { file, profile: reader.header.profile, library: reader.header.library, topics, rosbag2 };
}

function ros2Definitions() {
  // Any release with a 16-byte Gid; the sensor, geometry and tf messages are
  // the same from Humble on.
  const defs = msgsCommon.ros2jazzy;
  const all = Object.values(defs);
  const byType = new Map();
  for (const [name, def] of Object.entries(defs)) {
    const [pkg, msg] = name.split("/");
    byType.set(`${pkg}/msg/${msg}`, [def, ...all]);
  }
  byType.set("rmw_dds_common/msg/ParticipantEntitiesInfo", parse(PARTICIPANT_ENTITIES_INFO, { ros2: true }));
  return byType;
}

async function samples(dir) {
  const byType = ros2Definitions();
  const readers = new Map();
  const files = fs.readdirSync(dir).filter((f) => f.endsWith(".cdr")).sort();
  const counts = {};
  for (const name of files) {
    const match = /^(\d+)-([A-Za-z0-9_]+)__msg__([A-Za-z0-9_]+)\.cdr$/.exec(name);
    if (!match) { problems.push(`${name}: not <seq>-<pkg>__msg__<Name>.cdr`); continue; }
    const type = `${match[2]}/msg/${match[3]}`;
    if (!byType.has(type)) { problems.push(`${name}: no definition of ${type}`); continue; }
    if (!readers.has(type)) readers.set(type, new MessageReader(byType.get(type)));
    const out = decode(readers.get(type), type, new Uint8Array(fs.readFileSync(path.join(dir, name))), name);
    counts[type] = (counts[type] || 0) + 1;
    if (out) console.log(json(Object.assign({ file: name, seq: Number(match[1]) }, out)));
  }
  if (files.length === 0) problems.push(`${dir}: no .cdr files`);
  return { dir, files: files.length, types: counts };
}

(async () => {
  const [mode, target] = process.argv.slice(2);
  if (!target || (mode !== "bag" && mode !== "samples")) {
    console.error("usage: node ros2_decode.js bag FILE.mcap | samples DIR");
    process.exit(2);
  }
  let summary;
  try {
    summary = mode === "bag" ? await bag(target) : await samples(target);
  } catch (e) {
    problems.push(String((e && e.stack) || e));
    summary = { target };
  }
  summary.problems = problems;
  console.log(json({ summary }));
  process.exit(problems.length ? 1 : 0);
})();
