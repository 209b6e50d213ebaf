// The 3D view of a build: reads the page's scene (a JSON description and the visible blocks,
// deflated), draws every visible face once with WebGL2, and offers orbit, pan, zoom,
// a height cut, region toggles and the state of the block under the pointer. Plain JavaScript,
// no network: the data is in the page, or next to it when served. A large build first shows its
// overview (the top surface in coarse columns), drawn before the blocks are unpacked, so the
// whole build is on screen while its detail is still on the way.
"use strict";

(() => {
  const meta = JSON.parse(document.getElementById("kubrel-meta").textContent);
  const canvas = document.getElementById("view");
  const status = document.getElementById("status");
  const hook = { ready: false, error: null, stats: { scriptMs: performance.now() } };
  window.kubrelView = hook;

  // Four corners of each face in the unit cell (-x, +x, -y, +y, -z, +z), drawn as two triangles.
  // Face 6 is the top of a block whose top is covered, drawn only on the cut layer.
  const VERTEX_SHADER = `#version 300 es
precision highp float;
precision highp int;
uniform highp usampler2D u_faces;  // per face: x, y, z, face | region << 3 | state << 9
uniform mat4 u_view;
uniform sampler2D u_table;  // per state: colour and opacity, box low, box high; 1024 states a row
uniform float u_cut;
uniform uint u_hidden;      // regions switched off, one bit each
uniform int u_pass;         // 0 opaque, 1 see-through, 2 picking
out vec4 v_colour;
out vec2 v_uv;
flat out uint v_id;
const vec3 CORNERS[24] = vec3[24](
  vec3(0,0,0), vec3(0,0,1), vec3(0,1,1), vec3(0,1,0),
  vec3(1,0,0), vec3(1,1,0), vec3(1,1,1), vec3(1,0,1),
  vec3(0,0,0), vec3(1,0,0), vec3(1,0,1), vec3(0,0,1),
  vec3(0,1,0), vec3(0,1,1), vec3(1,1,1), vec3(1,1,0),
  vec3(0,0,0), vec3(0,1,0), vec3(1,1,0), vec3(1,0,0),
  vec3(0,0,1), vec3(1,0,1), vec3(1,1,1), vec3(0,1,1));
const int TRIANGLES[6] = int[6](0, 1, 2, 0, 2, 3);
const vec2 UVS[4] = vec2[4](vec2(0,0), vec2(1,0), vec2(1,1), vec2(0,1));
const float LIGHT[7] = float[7](0.72, 0.8, 0.5, 1.0, 0.88, 0.64, 0.93);
void main() {
  // Six vertices per face, the face's record fetched by number: software renderers draw one
  // large batch far faster than many instances.
  int number = gl_VertexID / 6;
  uvec4 a_block = texelFetch(u_faces, ivec2(number % 4096, number / 4096), 0);
  uint a_state = a_block.w >> 9;
  uint face = a_block.w & 7u;
  uint region = (a_block.w >> 3) & 63u;
  ivec2 entry = ivec2(int(a_state % 1024u) * 3, int(a_state / 1024u));
  vec4 colour = texelFetch(u_table, entry, 0);
  float y = float(a_block.y);
  bool hide = y > u_cut || (face == 6u && y != u_cut) ||
      (region > 0u && region < 33u && ((u_hidden >> (region - 1u)) & 1u) == 1u) ||
      (u_pass == 0 && colour.a < 1.0) || (u_pass == 1 && colour.a >= 1.0);
  if (hide) {
    gl_Position = vec4(2.0, 2.0, 2.0, 1.0);
    return;
  }
  int corner = TRIANGLES[gl_VertexID - number * 6];
  int side = face == 6u ? 3 : int(face);
  vec3 low = texelFetch(u_table, entry + ivec2(1, 0), 0).xyz;
  vec3 high = texelFetch(u_table, entry + ivec2(2, 0), 0).xyz;
  vec3 unit = CORNERS[side * 4 + corner];
  // A face of a partial box that is covered by an opaque neighbour is not sent, so a box keeps
  // its own faces at their true place inside the cell.
  vec3 at = vec3(a_block.xyz) + mix(low, high, unit);
  gl_Position = u_view * vec4(at, 1.0);
  v_colour = vec4(colour.rgb * LIGHT[int(face)], colour.a);
  v_uv = UVS[corner];
  v_id = uint(number) + 1u;
}`;

  const FRAGMENT_SHADER = `#version 300 es
precision highp float;
precision highp int;
in vec4 v_colour;
in vec2 v_uv;
flat in uint v_id;
uniform int u_pass;
out vec4 o_colour;
void main() {
  if (u_pass == 2) {
    o_colour = vec4(float(v_id & 255u), float((v_id >> 8) & 255u), float((v_id >> 16) & 255u),
                    float((v_id >> 24) & 255u)) / 255.0;
    return;
  }
  // A darker rim on each face keeps neighbours of one colour apart.
  float rim = min(min(v_uv.x, 1.0 - v_uv.x), min(v_uv.y, 1.0 - v_uv.y));
  o_colour = vec4(v_colour.rgb * (rim < 0.045 ? 0.82 : 1.0), v_colour.a);
}`;

  // The overview: plain coloured quads, lit per side when they are made.
  const OVERVIEW_VERTEX_SHADER = `#version 300 es
precision highp float;
in vec3 a_at;
in vec4 a_colour;
uniform mat4 u_view;
out vec4 v_colour;
void main() {
  gl_Position = u_view * vec4(a_at, 1.0);
  v_colour = a_colour;
}`;

  const OVERVIEW_FRAGMENT_SHADER = `#version 300 es
precision highp float;
in vec4 v_colour;
out vec4 o_colour;
void main() {
  o_colour = v_colour;
}`;

  // The light of each side, as the detailed view's: -x, +x, -y, +y, -z, +z.
  const LIGHT = [0.72, 0.8, 0.5, 1.0, 0.88, 0.64];

  function fail(message) {
    hook.error = message;
    status.textContent = message;
    status.classList.add("error");
  }

  async function payload() {
    if (meta.src) {
      const response = await fetch(meta.src);
      if (!response.ok) throw new Error(`${meta.src}: ${response.status}`);
      return new Uint8Array(await response.arrayBuffer());
    }
    // The data follows the script in the page, so that the first frame need not wait for it.
    if (document.readyState === "loading")
      await new Promise((resolve) => document.addEventListener("DOMContentLoaded", resolve, { once: true }));
    return embedded("kubrel-data");
  }

  function embedded(id) {
    const text = atob(document.getElementById(id).textContent.trim());
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }

  async function inflate(bytes) {
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("deflate"));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }

  // Byte planes back into integers: the scene stores plane k of every value one after the other,
  // which deflates far better than whole values.
  function unshuffle(raw, offset, count, width) {
    const out = new Uint32Array(count);
    for (let k = 0; k < width; k++) {
      const plane = offset + k * count;
      const shift = 8 * k;
      for (let i = 0; i < count; i++) out[i] |= raw[plane + i] << shift;
    }
    return out;
  }

  // Faces drawn for each mask: its own faces, and the top of a covered block (shown only on the
  // cut layer) as face 6.
  const FACES_OF = Array.from({ length: 64 }, (_, m) => {
    const faces = [];
    for (let face = 0; face < 6; face++) if (m & (1 << face)) faces.push(face);
    if (!(m & 8)) faces.push(6);
    return faces;
  });

  // The visible blocks as one record per face drawn, the opaque faces first and the see-through
  // ones after them, so that each of the two passes draws only its own range.
  function faceRecords(raw) {
    const n = meta.blocks;
    const deltas = unshuffle(raw, 0, n, 4);
    const states = unshuffle(raw, 4 * n, n, meta.state_bytes);
    const masks = raw.subarray((4 + meta.state_bytes) * n, (5 + meta.state_bytes) * n);
    const [sx, , sz] = meta.size;
    const layer = sx * sz;
    const clear = meta.alphas.map((alpha) => alpha < 1);
    let faces = 0;
    let opaque = 0;
    for (let i = 0; i < n; i++) {
      const count = FACES_OF[masks[i]].length;
      faces += count;
      if (!clear[states[i]]) opaque += count;
    }
    const records = new Uint32Array(4 * 4096 * Math.max(1, Math.ceil(faces / 4096)));
    const owners = new Uint32Array(faces);
    const regions = meta.regions.slice(0, 32);
    let cell = 0;
    const next = [0, opaque];
    for (let i = 0; i < n; i++) {
      cell += deltas[i];
      const y = Math.floor(cell / layer);
      const rest = cell - y * layer;
      const z = Math.floor(rest / sx);
      const x = rest - z * sx;
      let region = 0;
      for (let r = regions.length - 1; r >= 0; r--) {
        const { min, size } = regions[r];
        if (x >= min[0] && x < min[0] + size[0] && y >= min[1] && y < min[1] + size[1] &&
            z >= min[2] && z < min[2] + size[2]) {
          region = r + 1;
          break;
        }
      }
      const pass = clear[states[i]] ? 1 : 0;
      const tag = ((region << 3) | (states[i] << 9)) >>> 0;
      let at = next[pass];
      for (const face of FACES_OF[masks[i]]) {
        const b = 4 * at;
        records[b] = x;
        records[b + 1] = y;
        records[b + 2] = z;
        records[b + 3] = (face | tag) >>> 0;
        owners[at] = i;
        at++;
      }
      next[pass] = at;
    }
    return { records, owners, states, faces, opaque };
  }

  // The overview's columns: for each, its top, its lowest block and the state on its top.
  function overviewColumns(raw) {
    const { step, size: [cx, cz] } = meta.overview;
    const n = cx * cz;
    return { step, cx, cz, tops: unshuffle(raw, 0, n, 2), lows: unshuffle(raw, 2 * n, n, 2),
      states: unshuffle(raw, 4 * n, n, meta.state_bytes) };
  }

  // The first frame, on a plain 2D canvas laid over the view while WebGL starts: the overview's
  // columns painted from the farthest to the nearest, each with the sides that face the eye and
  // its top, lit as the detailed view lights them.
  function drawSketch(sketch, { step, cx, cz, tops, lows, states }, m, eye) {
    const [sx, , sz] = meta.size;
    // At half the view's resolution: a first frame, replaced within seconds, painted in a quarter
    // of the time.
    const width = Math.max(1, canvas.width >> 1);
    const height = Math.max(1, canvas.height >> 1);
    Object.assign(sketch, { width, height, hidden: false });
    Object.assign(sketch.style, { width: `${canvas.clientWidth}px`, height: `${canvas.clientHeight}px` });
    // Painted on the CPU: a software GPU would only add its start-up to the first frame.
    const context = sketch.getContext("2d", { willReadFrequently: true });
    context.fillStyle = "rgb(143, 168, 199)";
    context.fillRect(0, 0, width, height);
    const order = [];
    const far = new Float64Array(cx * cz);
    for (let n = 0; n < cx * cz; n++) {
      if (!tops[n]) continue;
      const dx = ((n % cx) + 0.5) * step - eye[0];
      const dz = (Math.floor(n / cx) + 0.5) * step - eye[2];
      far[n] = dx * dx + dz * dz;
      order.push(n);
    }
    order.sort((a, b) => far[b] - far[a]);
    const top = (i, j) => (i < 0 || j < 0 || i >= cx || j >= cz ? 0 : tops[j * cx + i]);
    const styles = new Map();
    function face(corners, rgb, light) {
      const key = `${rgb}/${light}`;
      let style = styles.get(key);
      if (!style) {
        style = `rgb(${rgb[0] * light | 0}, ${rgb[1] * light | 0}, ${rgb[2] * light | 0})`;
        styles.set(key, style);
      }
      context.fillStyle = style;
      context.beginPath();
      for (let k = 0; k < 12; k += 3) {
        const [x, y, z] = [corners[k], corners[k + 1], corners[k + 2]];
        const w = m[3] * x + m[7] * y + m[11] * z + m[15];
        const px = ((m[0] * x + m[4] * y + m[8] * z + m[12]) / w + 1) * width / 2;
        const py = (1 - (m[1] * x + m[5] * y + m[9] * z + m[13]) / w) * height / 2;
        if (k === 0) context.moveTo(px, py);
        else context.lineTo(px, py);
      }
      context.fill();
    }
    for (const n of order) {
      const i = n % cx;
      const j = (n - i) / cx;
      const h = tops[n];
      const low = lows[n];
      const rgb = meta.colours[states[n]] || [128, 128, 128];
      const x0 = i * step, x1 = Math.min(sx, x0 + step);
      const z0 = j * step, z1 = Math.min(sz, z0 + step);
      let b = Math.max(low, top(i - 1, j));
      if (eye[0] < x0 && b < h) face([x0, b, z0, x0, b, z1, x0, h, z1, x0, h, z0], rgb, LIGHT[0]);
      b = Math.max(low, top(i + 1, j));
      if (eye[0] > x1 && b < h) face([x1, b, z0, x1, h, z0, x1, h, z1, x1, b, z1], rgb, LIGHT[1]);
      b = Math.max(low, top(i, j - 1));
      if (eye[2] < z0 && b < h) face([x0, b, z0, x0, h, z0, x1, h, z0, x1, b, z0], rgb, LIGHT[4]);
      b = Math.max(low, top(i, j + 1));
      if (eye[2] > z1 && b < h) face([x0, b, z1, x1, b, z1, x1, h, z1, x0, h, z1], rgb, LIGHT[5]);
      if (eye[1] > h) face([x0, h, z0, x0, h, z1, x1, h, z1, x1, h, z0], rgb, LIGHT[3]);
    }
    // Reading a pixel waits for the painting.
    context.getImageData(0, 0, 1, 1);
  }

  // The overview's quads: each column's top, and its sides down to a lower neighbour (or to its
  // own lowest block), in its top block's colour lit as the detailed view lights that side.
  function overviewMesh({ step, cx, cz, tops, lows, states }) {
    const n = cx * cz;
    const [sx, , sz] = meta.size;
    const at = new Float32Array(5 * n * 12);
    const colours = new Uint8Array(5 * n * 16);
    const indices = new Uint32Array(5 * n * 6);
    let quads = 0;
    function quad(corners, rgb, light) {
      at.set(corners, quads * 12);
      for (let k = 0; k < 4; k++)
        colours.set([rgb[0] * light, rgb[1] * light, rgb[2] * light, 255], quads * 16 + k * 4);
      const v = quads * 4;
      indices.set([v, v + 1, v + 2, v, v + 2, v + 3], quads * 6);
      quads++;
    }
    const top = (i, j) => (i < 0 || j < 0 || i >= cx || j >= cz ? 0 : tops[j * cx + i]);
    for (let j = 0; j < cz; j++) {
      for (let i = 0; i < cx; i++) {
        const h = tops[j * cx + i];
        if (h === 0) continue;
        const rgb = meta.colours[states[j * cx + i]] || [128, 128, 128];
        const x0 = i * step, x1 = Math.min(sx, x0 + step);
        const z0 = j * step, z1 = Math.min(sz, z0 + step);
        const low = lows[j * cx + i];
        quad([x0, h, z0, x0, h, z1, x1, h, z1, x1, h, z0], rgb, LIGHT[3]);
        let b = Math.max(low, top(i - 1, j));
        if (b < h) quad([x0, b, z0, x0, b, z1, x0, h, z1, x0, h, z0], rgb, LIGHT[0]);
        b = Math.max(low, top(i + 1, j));
        if (b < h) quad([x1, b, z0, x1, h, z0, x1, h, z1, x1, b, z1], rgb, LIGHT[1]);
        b = Math.max(low, top(i, j - 1));
        if (b < h) quad([x0, b, z0, x0, h, z0, x1, h, z0, x1, b, z0], rgb, LIGHT[4]);
        b = Math.max(low, top(i, j + 1));
        if (b < h) quad([x0, b, z1, x1, b, z1, x1, h, z1, x0, h, z1], rgb, LIGHT[5]);
      }
    }
    return { at: at.subarray(0, quads * 12), colours: colours.subarray(0, quads * 16),
      indices: indices.subarray(0, quads * 6), quads };
  }

  function compile(gl, type, source) {
    const shader = gl.createShader(type);
    gl.shaderSource(shader, source);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) throw new Error(gl.getShaderInfoLog(shader));
    return shader;
  }

  function program(gl, vertex = VERTEX_SHADER, fragment = FRAGMENT_SHADER) {
    const p = gl.createProgram();
    gl.attachShader(p, compile(gl, gl.VERTEX_SHADER, vertex));
    gl.attachShader(p, compile(gl, gl.FRAGMENT_SHADER, fragment));
    gl.linkProgram(p);
    if (!gl.getProgramParameter(p, gl.LINK_STATUS)) throw new Error(gl.getProgramInfoLog(p));
    return p;
  }

  // Per state: colour and opacity, then the box's low and high corners; rows of 1024 states keep
  // the texture within every implementation's size limit.
  function stateTable(gl) {
    const rows = Math.max(1, Math.ceil(meta.palette.length / 1024));
    const data = new Float32Array(rows * 1024 * 3 * 4);
    meta.palette.forEach((_, i) => {
      const [r, g, b] = meta.colours[i];
      const [lx, ly, lz, hx, hy, hz] = meta.boxes[i];
      data.set([r / 255, g / 255, b / 255, meta.alphas[i]], 12 * i);
      data.set([lx, ly, lz, 0, hx, hy, hz, 0], 12 * i + 4);
    });
    const texture = gl.createTexture();
    gl.bindTexture(gl.TEXTURE_2D, texture);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA32F, 3 * 1024, rows, 0, gl.RGBA, gl.FLOAT, data);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
    return texture;
  }

  // Column-major 4x4 matrices, as WebGL takes them.
  function perspective(fovy, aspect, near, far) {
    const f = 1 / Math.tan(fovy / 2);
    const d = near - far;
    return [f / aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + near) / d, -1, 0, 0, (2 * far * near) / d, 0];
  }

  function lookAt(eye, target) {
    const sub = (a, b) => a.map((v, i) => v - b[i]);
    const norm = (a) => { const l = Math.hypot(...a) || 1; return a.map((v) => v / l); };
    const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
    const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    const f = norm(sub(target, eye));
    const s = norm(cross(f, [0, 1, 0]));
    const u = cross(s, f);
    return [s[0], u[0], -f[0], 0, s[1], u[1], -f[1], 0, s[2], u[2], -f[2], 0,
      -dot(s, eye), -dot(u, eye), dot(f, eye), 1];
  }

  function multiply(a, b) {
    const out = new Array(16).fill(0);
    for (let c = 0; c < 4; c++)
      for (let r = 0; r < 4; r++)
        for (let k = 0; k < 4; k++) out[c * 4 + r] += a[k * 4 + r] * b[c * 4 + k];
    return out;
  }

  async function start() {
    // Made after the first frame is sketched: a software WebGL takes a while to start.
    let gl = null;
    const [sx, sy, sz] = meta.size;
    const radius = Math.max(1, Math.hypot(sx, sy, sz) / 2);
    const camera = { yaw: Math.PI / 4, pitch: 0.6, distance: radius * 2.6,
      target: [sx / 2, sy / 2, sz / 2] };
    const state = { cut: Math.max(0, sy - 1), hidden: 0, pointer: null };
    let pickTarget = null;
    // The detailed scene once it is unpacked and sent; until then the overview stands in.
    let scene = null;
    let coarse = null;
    let prog = null;
    let u = null;
    // While the camera moves, the overview is drawn in the detail's place, and the detail again
    // once it has stood still a moment: a software renderer takes seconds over every face.
    let moving = false;
    let still = null;
    function stir() {
      if (!coarse) return;
      moving = true;
      clearTimeout(still);
      still = setTimeout(() => { moving = false; schedule(); }, 250);
    }

    function eye() {
      const c = Math.cos(camera.pitch);
      return [camera.target[0] + camera.distance * c * Math.sin(camera.yaw),
        camera.target[1] + camera.distance * Math.sin(camera.pitch),
        camera.target[2] + camera.distance * c * Math.cos(camera.yaw)];
    }

    function viewMatrix() {
      const aspect = canvas.width / Math.max(1, canvas.height);
      const near = Math.max(0.05, camera.distance - radius * 1.5);
      return multiply(perspective(0.8, aspect, Math.min(near, camera.distance / 4), camera.distance + radius * 2),
        lookAt(eye(), camera.target));
    }

    function draw(pass) {
      gl.uniform1i(u.pass, pass);
      const [first, count] = pass === 0 ? [0, scene.opaque]
        : pass === 1 ? [scene.opaque, scene.faces - scene.opaque] : [0, scene.faces];
      if (count > 0) gl.drawArrays(gl.TRIANGLES, 6 * first, 6 * count);
    }

    // The canvas' pixels to its size on the page.
    function fit() {
      const ratio = window.devicePixelRatio || 1;
      const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
      const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
      if (canvas.width !== width || canvas.height !== height) {
        canvas.width = width;
        canvas.height = height;
      }
    }

    function resize() {
      fit();
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.clearColor(0.56, 0.66, 0.78, 1);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      gl.enable(gl.DEPTH_TEST);
      gl.disable(gl.BLEND);
      gl.depthMask(true);
    }

    function render() {
      if (!gl) return;
      resize();
      if (!scene || (moving && coarse)) {
        if (!coarse) return;
        gl.useProgram(coarse.program);
        gl.bindVertexArray(coarse.vertices);
        gl.uniformMatrix4fv(coarse.view, false, viewMatrix());
        gl.drawElements(gl.TRIANGLES, 6 * coarse.quads, gl.UNSIGNED_INT, 0);
        return;
      }
      gl.useProgram(prog);
      gl.bindVertexArray(scene.vertices);
      gl.uniformMatrix4fv(u.view, false, viewMatrix());
      gl.uniform1f(u.cut, state.cut);
      gl.uniform1ui(u.hidden, state.hidden >>> 0);
      draw(0);
      gl.enable(gl.BLEND);
      gl.blendFunc(gl.SRC_ALPHA, gl.ONE_MINUS_SRC_ALPHA);
      gl.depthMask(false);
      draw(1);
      gl.depthMask(true);
    }

    // Quads in vertex buffers of their own, drawn with the overview's program.
    function overviewModel(mesh) {
      const p = program(gl, OVERVIEW_VERTEX_SHADER, OVERVIEW_FRAGMENT_SHADER);
      const vertices = gl.createVertexArray();
      gl.bindVertexArray(vertices);
      const buffer = (target, data) => {
        gl.bindBuffer(target, gl.createBuffer());
        gl.bufferData(target, data, gl.STATIC_DRAW);
      };
      buffer(gl.ARRAY_BUFFER, mesh.at);
      const at = gl.getAttribLocation(p, "a_at");
      gl.enableVertexAttribArray(at);
      gl.vertexAttribPointer(at, 3, gl.FLOAT, false, 0, 0);
      buffer(gl.ARRAY_BUFFER, mesh.colours);
      const colour = gl.getAttribLocation(p, "a_colour");
      gl.enableVertexAttribArray(colour);
      gl.vertexAttribPointer(colour, 4, gl.UNSIGNED_BYTE, true, 0, 0);
      buffer(gl.ELEMENT_ARRAY_BUFFER, mesh.indices);
      gl.bindVertexArray(null);
      return { program: p, vertices, quads: mesh.quads, view: gl.getUniformLocation(p, "u_view") };
    }

    let queued = false;
    function schedule() {
      if (queued) return;
      queued = true;
      requestAnimationFrame(() => {
        queued = false;
        render();
        if (state.pointer && !moving) showPointer(pickAt(...state.pointer));
      });
    }

    // The block under a canvas pixel (CSS pixels from its top left): the face's id drawn into a
    // one-pixel scissor of an offscreen target.
    function pickAt(px, py) {
      if (!scene) return null;
      const ratio = canvas.width / Math.max(1, canvas.clientWidth);
      const x = Math.floor(px * ratio);
      const y = canvas.height - 1 - Math.floor(py * ratio);
      if (x < 0 || y < 0 || x >= canvas.width || y >= canvas.height) return null;
      if (!pickTarget || pickTarget.width !== canvas.width || pickTarget.height !== canvas.height) {
        const frame = gl.createFramebuffer();
        gl.bindFramebuffer(gl.FRAMEBUFFER, frame);
        const colour = gl.createRenderbuffer();
        gl.bindRenderbuffer(gl.RENDERBUFFER, colour);
        gl.renderbufferStorage(gl.RENDERBUFFER, gl.RGBA8, canvas.width, canvas.height);
        gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.COLOR_ATTACHMENT0, gl.RENDERBUFFER, colour);
        const depth = gl.createRenderbuffer();
        gl.bindRenderbuffer(gl.RENDERBUFFER, depth);
        gl.renderbufferStorage(gl.RENDERBUFFER, gl.DEPTH_COMPONENT24, canvas.width, canvas.height);
        gl.framebufferRenderbuffer(gl.FRAMEBUFFER, gl.DEPTH_ATTACHMENT, gl.RENDERBUFFER, depth);
        pickTarget = { frame, width: canvas.width, height: canvas.height };
      }
      gl.bindFramebuffer(gl.FRAMEBUFFER, pickTarget.frame);
      gl.viewport(0, 0, canvas.width, canvas.height);
      gl.enable(gl.SCISSOR_TEST);
      gl.scissor(x, y, 1, 1);
      gl.clearColor(0, 0, 0, 0);
      gl.clear(gl.COLOR_BUFFER_BIT | gl.DEPTH_BUFFER_BIT);
      gl.disable(gl.BLEND);
      gl.enable(gl.DEPTH_TEST);
      gl.useProgram(prog);
      gl.bindVertexArray(scene.vertices);
      gl.uniformMatrix4fv(u.view, false, viewMatrix());
      // Opaque and see-through faces alike can be picked: draw both into the id target.
      draw(2);
      const pixel = new Uint8Array(4);
      gl.readPixels(x, y, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, pixel);
      gl.disable(gl.SCISSOR_TEST);
      gl.bindFramebuffer(gl.FRAMEBUFFER, null);
      const id = (pixel[0] | (pixel[1] << 8) | (pixel[2] << 16) | (pixel[3] << 24)) >>> 0;
      if (id === 0 || id > scene.faces) return null;
      const block = scene.owners[id - 1];
      const b = 4 * (id - 1);
      const position = [scene.records[b], scene.records[b + 1], scene.records[b + 2]];
      return { state: meta.palette[scene.states[block]], position,
        world: position.map((v, i) => v + meta.origin[i]) };
    }

    const pointerBox = document.getElementById("pointer");
    function showPointer(found) {
      hook.pointer = found;
      pointerBox.textContent = found
        ? `${found.state}\nat ${found.position.join(", ")} (world ${found.world.join(", ")})`
        : "—";
    }

    // Mouse and touch: one pointer orbits (or pans with the right button or shift), two pinch to
    // zoom and move together to pan; the wheel zooms.
    const pointers = new Map();
    let pinch = null;
    canvas.addEventListener("contextmenu", (e) => e.preventDefault());
    canvas.addEventListener("pointerdown", (e) => {
      canvas.setPointerCapture(e.pointerId);
      pointers.set(e.pointerId, { x: e.clientX, y: e.clientY, pan: e.button === 2 || e.shiftKey });
      pinch = null;
    });
    const release = (e) => { pointers.delete(e.pointerId); pinch = null; };
    canvas.addEventListener("pointerup", release);
    canvas.addEventListener("pointercancel", release);
    function pan(dx, dy) {
      const scale = camera.distance / Math.max(1, canvas.clientHeight);
      const right = [Math.cos(camera.yaw), 0, -Math.sin(camera.yaw)];
      camera.target[0] -= right[0] * dx * scale;
      camera.target[2] -= right[2] * dx * scale;
      camera.target[1] += dy * scale;
    }
    canvas.addEventListener("pointermove", (e) => {
      const rect = canvas.getBoundingClientRect();
      state.pointer = [e.clientX - rect.left, e.clientY - rect.top];
      const held = pointers.get(e.pointerId);
      if (held) {
        const dx = e.clientX - held.x;
        const dy = e.clientY - held.y;
        held.x = e.clientX;
        held.y = e.clientY;
        if (pointers.size >= 2) {
          const [a, b] = [...pointers.values()];
          const spread = Math.hypot(a.x - b.x, a.y - b.y);
          if (pinch) camera.distance *= pinch / Math.max(1, spread);
          pinch = spread;
          pan(dx / 2, dy / 2);
        } else if (held.pan) {
          pan(dx, dy);
        } else {
          camera.yaw -= dx * 0.008;
          camera.pitch = Math.max(-1.55, Math.min(1.55, camera.pitch + dy * 0.008));
        }
        stir();
      }
      schedule();
    });
    canvas.addEventListener("pointerleave", () => { state.pointer = null; showPointer(null); });
    canvas.addEventListener("wheel", (e) => {
      e.preventDefault();
      camera.distance *= Math.exp(e.deltaY * 0.001);
      stir();
      schedule();
    }, { passive: false });
    window.addEventListener("resize", schedule);

    const slider = document.getElementById("cut");
    const cutLabel = document.getElementById("cut-label");
    slider.max = String(Math.max(0, sy - 1));
    slider.value = String(state.cut);
    function setCut(y) {
      state.cut = Math.max(0, Math.min(sy - 1, Math.round(y)));
      slider.value = String(state.cut);
      cutLabel.textContent = `${state.cut} of ${Math.max(0, sy - 1)}`;
      schedule();
    }
    slider.addEventListener("input", () => setCut(Number(slider.value)));
    setCut(state.cut);

    const regionList = document.getElementById("regions");
    function setRegion(index, shown) {
      if (index < 0 || index >= 32) return;
      state.hidden = shown ? state.hidden & ~(1 << index) : state.hidden | (1 << index);
      const box = regionList.querySelectorAll("input")[index];
      if (box) box.checked = shown;
      schedule();
    }
    meta.regions.slice(0, 32).forEach((region, index) => {
      const label = document.createElement("label");
      const box = document.createElement("input");
      box.type = "checkbox";
      box.checked = true;
      box.addEventListener("change", () => setRegion(index, box.checked));
      label.append(box, ` ${region.name} (${region.size.join("×")})`);
      regionList.append(label);
    });
    document.getElementById("regions-box").hidden = meta.regions.length === 0;

    const materials = document.getElementById("materials");
    for (const [index, count] of meta.materials) {
      const row = document.createElement("li");
      const swatch = document.createElement("span");
      swatch.className = "swatch";
      swatch.style.background = `rgb(${meta.colours[index].join(",")})`;
      row.append(swatch, `${count.toLocaleString("en")} ${meta.palette[index]}`);
      materials.append(row);
    }

    const overviewSize = meta.overview ? meta.overview.size[0] * meta.overview.size[1] : 0;
    const columns = meta.blocks && overviewSize ? overviewColumns(embedded("kubrel-overview")) : null;
    if (columns) {
      const sketch = document.getElementById("sketch");
      fit();
      drawSketch(sketch, columns, viewMatrix(), eye());
      // From the start of navigation: the page's parsing is part of the wait.
      hook.stats.firstFrameMs = performance.now();
      status.textContent = `An overview of the build; unpacking ${meta.blocks.toLocaleString("en")} blocks…`;
      // Back to the browser once, so that the sketch is shown while WebGL starts.
      await new Promise((resolve) => setTimeout(resolve, 0));
    }

    gl = canvas.getContext("webgl2", { alpha: false, antialias: false, preserveDrawingBuffer: true });
    if (!gl) {
      fail("This browser offers no WebGL2, which the view needs.");
      return;
    }
    hook.stats.contextMs = performance.now();
    // Reading one pixel waits for the frame to be drawn.
    const finish = () => gl.readPixels(0, 0, 1, 1, gl.RGBA, gl.UNSIGNED_BYTE, new Uint8Array(4));
    if (columns) {
      coarse = overviewModel(overviewMesh(columns));
      render();
      finish();
      document.getElementById("sketch").hidden = true;
      hook.stats.overviewMs = performance.now();
      await new Promise((resolve) => setTimeout(resolve, 0));
    }

    const decodeStart = performance.now();
    const raw = meta.blocks ? await inflate(await payload()) : new Uint8Array(0);
    const decoded = performance.now();
    const records = faceRecords(raw);
    hook.stats.decodeMs = decoded - decodeStart;
    hook.stats.expandMs = performance.now() - decoded;

    prog = program(gl);
    gl.useProgram(prog);
    const uniform = (name) => gl.getUniformLocation(prog, name);
    u = { view: uniform("u_view"), cut: uniform("u_cut"), hidden: uniform("u_hidden"),
      pass: uniform("u_pass"), table: uniform("u_table") };
    gl.activeTexture(gl.TEXTURE0);
    stateTable(gl);
    gl.uniform1i(u.table, 0);
    gl.activeTexture(gl.TEXTURE1);
    const faceTexture = gl.createTexture();
    gl.bindTexture(gl.TEXTURE_2D, faceTexture);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA32UI, 4096, records.records.length / (4 * 4096), 0,
      gl.RGBA_INTEGER, gl.UNSIGNED_INT, records.records);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MIN_FILTER, gl.NEAREST);
    gl.texParameteri(gl.TEXTURE_2D, gl.TEXTURE_MAG_FILTER, gl.NEAREST);
    gl.uniform1i(uniform("u_faces"), 1);
    scene = { ...records, vertices: gl.createVertexArray() };

    render();
    finish();
    hook.stats.fullFrameMs = performance.now();
    hook.stats.firstFrameMs ??= hook.stats.fullFrameMs;
    hook.stats.blocks = meta.blocks;
    hook.stats.faces = scene.faces;
    status.textContent = `${meta.blocks.toLocaleString("en")} blocks with ${scene.faces.toLocaleString("en")} faces in view` +
      (meta.left_out ? ` — ${meta.left_out}` : "");

    Object.assign(hook, {
      pickAt,
      setCut,
      setRegion,
      render,
      // Frames per second over `frames` frames, the camera turning a little each frame.
      orbit(frames, dragged = false) {
        // `dragged`: as while the pointer turns the camera, the overview in the detail's place.
        moving = dragged && coarse !== null;
        const begin = performance.now();
        for (let i = 0; i < frames; i++) {
          camera.yaw += 0.05;
          render();
          finish();
        }
        moving = false;
        return frames / ((performance.now() - begin) / 1000);
      },
      ready: true,
    });
  }

  start().catch((error) => fail(`The view could not start: ${error.message}`));
})();
