// quillmere.js -- the browser viewer of the Quill Mere arena.
//
// The arena's page loads this script (before three.js) and calls
// webGLStart() once everything has loaded. The viewer then polls the arena's
// JSON feeds (/turtle, /wall, /coin and a camera) about ten times a second
// and draws the field in 3D with three.js: the field plane, stone walls,
// coins, turtles as sprites from /img/0..4, bullets and blasts as glows from
// /img/5 and /img/6, and the turtles' names. It writes every slot's score
// into the page's element score<tid>.
//
// Under the scene lies the painted canvas: /canvas.png (512 x 512, top row
// first, covering the field -256..256) is polled with If-None-Match about
// ten times a second and shown as the field plane's texture, so a new stroke
// appears within about 200 ms. An arena without /canvas.png (404) keeps the
// plain field.
//
// Opened with ?key=KEY, the page also shows the teacher bar: buttons for the
// arena's actions (POST /control/ACTION) and the modes' states (GET
// /control/state), refreshed twice a second. The key travels only in the
// X-Quillmere-Key header of those requests: never in a cookie, a query string
// or a Referer. The bar lives in the "controls" area at the bottom of the
// page, which other panels (a replay's timeline) can share.
//
// Camera: when the first segment of the page's path names a turtle ('~3',
// '$3' or its name), the viewer follows it through /<segment>/camera; any
// other page shows the overview camera. The arena decides what a segment
// names, so a turtle that is gone simply gives the overview again.
//
// The viewer keeps the last good state when a feed fails or cannot be
// parsed (the arena restarting, say) and simply tries again on the next poll.
//
// Replays: when the arena shows a recording (/control/state says "replay"),
// the teacher's page gets a timeline panel (play and pause, a frame back or
// on, half or double speed, a slider to seek, the tick) that works only
// through the console's calls. A recording file dropped onto the page (or
// opened with an "open file" button) is played here, without the
// arena: the file is read and checked in this script, its frames are shown
// with the same scene code as the feeds, at the recorded speed, under the
// same timeline panel. The page then leaves the arena alone until reloaded.
(function () {
  "use strict";

  const POLL_MS = 100;
  // NOTE: the arena encodes the canvas at most every 100 ms; polling a little
  // faster keeps a stroke's worst case (encode wait + poll wait) under 200 ms.
  // An unchanged canvas costs one 304 without a body.
  const CANVAS_POLL_MS = 80;
  const CANVAS_MISSING_POLL_MS = 2000; // asked again in case the arena changes
  const STATE_POLL_MS = 500;
  const STATE_REFUSED_POLL_MS = 5000; // a wrong key is not hammered on
  const REPLAY_POLL_MS = 250; // the timeline's tick while a replay plays
  const SEEK_THROTTLE_MS = 150; // seeks while the slider is dragged
  const PLAYER_STEP_MS = 16; // how often the local player moves on
  const FIELD = 512;
  const WALL_HEIGHT = 14;
  const WALL_THICK = 3;
  const SPRITE_SIZE = 34; // the shell in the pictures is about 20 units across
  const BLAST_FRAMES = 25;
  const VIEW_TOP = 0, VIEW_FRONT = 1, VIEW_SIDE_RIGHT = 2, VIEW_BACK = 3, VIEW_SIDE_LEFT = 4;

  // What the feeds said last, and what the scene holds for it.
  const state = {
    turtles: [],
    walls: [],
    coins: [],
    camera: { x0: 0, y0: 0, z0: 450, x1: 0, y1: 0, z1: 0 },
    wallKey: "",
    coinKey: "",
    polls: 0,
    failures: 0,
    frames: 0,
    // the painted canvas: its last ETag, pictures shown, and whether the
    // arena has none (404)
    canvas: { etag: "", loads: 0, missing: false },
    // the teacher bar: the last /control/state, and what the bar says
    teacher: { on: false, state: null, message: "", actions: 0 },
    // where the scene comes from: "arena" (the feeds) or "file" (a
    // recording played in this page)
    source: "arena",
    // the timeline panel as shown: the replay's moment, range and speed
    timeline: { on: false, tick: 0, first: 0, last: 0, speed: 1, playing: false, seeks: 0,
      message: "" },
    // the recording file played here: its name, frames, unread tail bytes,
    // files played, and why the last one tried could not be played
    file: { name: "", frames: 0, torn: 0, loads: 0, error: "" },
  };
  window.qmViewer = state; // for the browser test and for curious people

  let THREE_ = null, renderer = null, scene = null, camera = null;
  let textures = [], wallGroup = null, coinGroup = null, turtleGroup = null;
  let wallMaterial = null, coinMaterial = null;
  let fieldMesh = null, gridHelper = null, canvasTexture = null;
  const nameSprites = new Map(); // name text -> sprite material
  const eye = { x: 0, y: 0, z: 450 }, look = { x: 0, y: 0, z: 0 };

  // ------------------------------------------------------------- feeds

  function cameraPath() {
    const seg = window.location.pathname.split("/").filter((s) => s.length > 0)[0];
    return seg ? "/" + seg + "/camera" : "/camera";
  }

  // The arena writes turtle names into the feed as they are, so a name with
  // a quote, a backslash or a control character breaks the JSON. Such names
  // are re-quoted here; a feed that still does not parse throws.
  function requoteNames(text) {
    return text.replace(/"name":"([\s\S]*?)","team":/g,
      (m, name) => '"name":' + JSON.stringify(name) + ',"team":');
  }

  async function fetchJson(path) {
    const res = await fetch(path, { cache: "no-store", referrerPolicy: "no-referrer" });
    if (!res.ok) throw new Error(path + ": " + res.status);
    const text = await res.text();
    try {
      return JSON.parse(text);
    } catch (e) {
      if (path !== "/turtle") throw e;
      return JSON.parse(requoteNames(text));
    }
  }

  // One poll of every feed; each feed that fails keeps its last good value.
  async function poll() {
    const [t, w, c, cam] = await Promise.allSettled([
      fetchJson("/turtle"), fetchJson("/wall"), fetchJson("/coin"), fetchJson(cameraPath()),
    ]);
    if (state.source !== "arena") return;
    let failed = false;
    if (t.status === "fulfilled" && Array.isArray(t.value)) state.turtles = t.value; else failed = true;
    if (w.status === "fulfilled" && Array.isArray(w.value)) state.walls = w.value; else failed = true;
    if (c.status === "fulfilled" && Array.isArray(c.value)) state.coins = c.value; else failed = true;
    if (cam.status === "fulfilled" && cam.value && typeof cam.value === "object") state.camera = cam.value;
    else failed = true;
    state.polls++;
    if (failed) state.failures++;
    // a file being read or refused says so until the next one
    setStatus(failed ? "waiting for the arena..." : fileNote);
  }

  // Polls at a steady rate without ever running two polls at once.
  async function pollLoop() {
    for (;;) {
      const started = Date.now();
      if (state.source !== "arena") return; // a file plays here from now on
      try {
        await poll();
        updateScene();
        writeScores();
      } catch (e) {
        state.failures++;
        setStatus("waiting for the arena...");
      }
      await sleep(Math.max(10, POLL_MS - (Date.now() - started)));
    }
  }

  function sleep(ms) {
    return new Promise((r) => setTimeout(r, ms));
  }

  // ------------------------------------------------------------ page

  function setStatus(text) {
    const el = document.getElementById("result");
    if (el && el.textContent !== text) el.textContent = text;
  }

  function styleScores() {
    for (let i = 0; i < 30; i++) {
      const el = document.getElementById("score" + i);
      if (!el) continue;
      el.style.cssText = "position:relative;z-index:1;display:inline-block;width:24%;" +
        "color:#90ffff;font:13px monospace;white-space:nowrap;overflow:hidden;";
    }
    const res = document.getElementById("result");
    if (res) res.style.cssText = "color:#ffd080;font:13px monospace;";
  }

  // The text holder inside score element i. The page nests the "result"
  // element inside score29, so scores go into a span of their own rather
  // than replacing the element's content.
  function scoreSpan(i) {
    const el = document.getElementById("score" + i);
    if (!el) return null;
    let span = el.querySelector("span.qm-score");
    if (!span) {
      span = document.createElement("span");
      span.className = "qm-score";
      el.insertBefore(span, el.firstChild);
    }
    return span;
  }

  function writeScores() {
    const texts = new Array(30).fill("");
    for (const t of state.turtles) {
      if (t.alive && t.type === 1 && t.tid >= 0 && t.tid < 30)
        texts[t.tid] = "#" + t.tid + " " + (t.name || "") + ": " + t.score;
    }
    for (let i = 0; i < 30; i++) {
      const span = scoreSpan(i);
      if (span && span.textContent !== texts[i]) span.textContent = texts[i];
    }
  }

  // ----------------------------------------------------------- scene

  function loadTexture(i) {
    const tex = new THREE_.TextureLoader().load("/img/" + i);
    tex.magFilter = THREE_.LinearFilter;
    return tex;
  }

  function setupScene() {
    const T = THREE_;
    renderer = new T.WebGLRenderer({ antialias: true, preserveDrawingBuffer: true });
    renderer.setPixelRatio(window.devicePixelRatio || 1);
    renderer.setSize(window.innerWidth, window.innerHeight);
    renderer.setClearColor(0x002040);
    const canvas = renderer.domElement;
    canvas.style.cssText = "position:fixed;left:0;top:0;width:100%;height:100%;z-index:0;";
    document.body.insertBefore(canvas, document.body.firstChild);

    scene = new T.Scene();
    camera = new T.PerspectiveCamera(60, window.innerWidth / window.innerHeight, 1, 5000);
    scene.add(new T.AmbientLight(0xffffff, 0.65));
    const sun = new T.DirectionalLight(0xffffff, 0.6);
    sun.position.set(-200, -300, 600);
    scene.add(sun);

    for (let i = 0; i < 8; i++) textures.push(loadTexture(i));
    textures[7].wrapS = textures[7].wrapT = T.RepeatWrapping;

    fieldMesh = new T.Mesh(new T.PlaneGeometry(FIELD, FIELD),
      new T.MeshLambertMaterial({ color: 0x1d4a35 }));
    scene.add(fieldMesh);
    gridHelper = new T.GridHelper(FIELD, 16, 0x2f6a50, 0x2f6a50);
    gridHelper.rotation.x = Math.PI / 2; // the grid helper lies in x-z; the field is x-y
    gridHelper.position.z = 0.2;
    scene.add(gridHelper);
    // the field's edge, which a canvas in the page's own colour would hide
    const h = FIELD / 2;
    const edge = new T.BufferGeometry().setFromPoints([
      new T.Vector3(-h, -h, 0.3), new T.Vector3(h, -h, 0.3),
      new T.Vector3(h, h, 0.3), new T.Vector3(-h, h, 0.3)]);
    scene.add(new T.LineLoop(edge, new T.LineBasicMaterial({ color: 0x2f6a50 })));

    wallMaterial = new T.MeshLambertMaterial({ map: textures[7], color: 0xdddddd });
    coinMaterial = new T.MeshLambertMaterial({ color: 0xffcc33, emissive: 0x553300 });
    wallGroup = new T.Group();
    coinGroup = new T.Group();
    turtleGroup = new T.Group();
    scene.add(wallGroup, coinGroup, turtleGroup);

    window.addEventListener("resize", () => {
      camera.aspect = window.innerWidth / window.innerHeight;
      camera.updateProjectionMatrix();
      renderer.setSize(window.innerWidth, window.innerHeight);
    });
  }

  function clearGroup(group) {
    for (const child of group.children.slice()) {
      group.remove(child);
      if (child.geometry) child.geometry.dispose();
    }
  }

  function rebuildWalls() {
    const key = JSON.stringify(state.walls);
    if (key === state.wallKey) return;
    state.wallKey = key;
    clearGroup(wallGroup);
    const T = THREE_;
    for (const w of state.walls) {
      const dx = w.x2 - w.x1, dy = w.y2 - w.y1, len = Math.hypot(dx, dy);
      if (!(len > 0)) continue;
      // one shared stone material; the texture repeats every 32 units
      const geo = new T.BoxGeometry(len, WALL_THICK, WALL_HEIGHT);
      const uv = geo.attributes.uv;
      for (let i = 0; i < uv.count; i++) uv.setX(i, uv.getX(i) * Math.max(1, len / 32));
      const box = new T.Mesh(geo, wallMaterial);
      box.position.set((w.x1 + w.x2) / 2, (w.y1 + w.y2) / 2, WALL_HEIGHT / 2);
      box.rotation.z = Math.atan2(dy, dx);
      wallGroup.add(box);
    }
  }

  function rebuildCoins() {
    const key = JSON.stringify(state.coins);
    if (key === state.coinKey) return;
    state.coinKey = key;
    clearGroup(coinGroup);
    const T = THREE_;
    for (const c of state.coins) {
      const coin = new T.Mesh(new T.CylinderGeometry(5, 5, 1.5, 20), coinMaterial);
      coin.rotation.x = Math.PI / 2; // the cylinder's axis along z: lying flat
      coin.position.set(c.x, c.y, 1);
      coinGroup.add(coin);
    }
  }

  function sprite(material, x, y, z, size) {
    const s = new THREE_.Sprite(material);
    s.position.set(x, y, z);
    s.scale.set(size, size, 1);
    turtleGroup.add(s);
    return s;
  }

  function glow(i, x, y, z, size, opacity) {
    const m = new THREE_.SpriteMaterial({ map: textures[i], transparent: true, opacity: opacity,
      depthWrite: false, blending: THREE_.AdditiveBlending });
    const s = sprite(m, x, y, z, size);
    s.userData.ownMaterial = true;
    return s;
  }

  function nameMaterial(text) {
    let m = nameSprites.get(text);
    if (m) return m;
    const cv = document.createElement("canvas");
    cv.width = 256;
    cv.height = 32;
    const g = cv.getContext("2d");
    g.font = "bold 22px sans-serif";
    g.textAlign = "center";
    g.textBaseline = "middle";
    g.lineWidth = 4;
    g.strokeStyle = "rgba(0,0,0,0.8)";
    g.strokeText(text, 128, 16);
    g.fillStyle = "#ffffff";
    g.fillText(text, 128, 16);
    m = new THREE_.SpriteMaterial({ map: new THREE_.CanvasTexture(cv), transparent: true,
      depthWrite: false });
    nameSprites.set(text, m);
    return m;
  }

  // Which picture shows a turtle heading `head` (degrees) from this camera,
  // and how far to turn it on screen when seen from above.
  function turtleView(t) {
    const dx = look.x - eye.x, dy = look.y - eye.y, dz = look.z - eye.z;
    const elevation = Math.atan2(-dz, Math.hypot(dx, dy));
    const h = (t.head * Math.PI) / 180;
    if (elevation > 0.9) {
      // Seen from above: project the heading onto the screen; the picture's
      // head points to the left (screen angle pi).
      const a = new THREE_.Vector3(t.x, t.y, 0).project(camera);
      const b = new THREE_.Vector3(t.x + Math.cos(h), t.y + Math.sin(h), 0).project(camera);
      const aspect = camera.aspect || 1;
      return { view: VIEW_TOP, rot: Math.atan2(b.y - a.y, (b.x - a.x) * aspect) - Math.PI };
    }
    let rel = h - Math.atan2(t.y - eye.y, t.x - eye.x);
    rel = Math.atan2(Math.sin(rel), Math.cos(rel)); // -pi..pi
    const q = Math.PI / 4;
    if (Math.abs(rel) < q) return { view: VIEW_BACK, rot: 0 };
    if (Math.abs(rel) > 3 * q) return { view: VIEW_FRONT, rot: 0 };
    return { view: rel > 0 ? VIEW_SIDE_LEFT : VIEW_SIDE_RIGHT, rot: 0 };
  }

  const turtleMaterials = [];
  function turtleMaterial(view) {
    if (!turtleMaterials[view])
      turtleMaterials[view] = new THREE_.SpriteMaterial({ map: textures[view], transparent: true });
    return turtleMaterials[view];
  }

  function rebuildTurtles() {
    for (const child of turtleGroup.children.slice()) {
      turtleGroup.remove(child);
      if (child.userData.ownMaterial) child.material.dispose();
    }
    const T = THREE_;
    for (const t of state.turtles) {
      if (typeof t.x !== "number" || typeof t.y !== "number") continue;
      if (t.bttf > 0) glow(6, t.bx, t.by, 8, 10 + 40 * (t.bttf / BLAST_FRAMES), 0.9);
      if (t.firing) glow(5, t.bx, t.by, 8, 12, 1.0);
      if (!t.alive) continue;
      if (t.type === 2 || t.type === 3) {
        // doughnuts and stones: still objects rather than turtles
        const m = new T.Sprite(new T.SpriteMaterial({
          map: t.type === 3 ? textures[7] : textures[6], color: t.type === 3 ? 0xffffff : 0xffb040,
        }));
        m.userData.ownMaterial = true;
        m.position.set(t.x, t.y, 10);
        m.scale.set(20, 20, 1);
        turtleGroup.add(m);
        continue;
      }
      const v = turtleView(t);
      const mat = v.view === VIEW_TOP ? new T.SpriteMaterial({ map: textures[0], transparent: true,
        rotation: v.rot }) : turtleMaterial(v.view);
      const s = sprite(mat, t.x, t.y, SPRITE_SIZE / 2, SPRITE_SIZE);
      if (v.view === VIEW_TOP) s.userData.ownMaterial = true;
      if (t.ttl > 0) glow(6, t.x, t.y, SPRITE_SIZE / 2 + 1, SPRITE_SIZE * 1.6, t.ttl / 50);
      if (t.name) {
        // anchored at the turtle, drawn above it on the screen in any view
        const n = sprite(nameMaterial(t.name), t.x, t.y, SPRITE_SIZE / 2, 0);
        n.scale.set(96, 12, 1);
        n.center.set(0.5, -1.6);
      }
    }
  }

  function updateScene() {
    if (!scene) return;
    rebuildWalls();
    rebuildCoins();
    rebuildTurtles();
  }

  // The camera the feed asks for; a turtle's eye is pulled back and up a
  // little so that the followed turtle itself is in the picture.
  function wantedCamera() {
    const c = state.camera;
    const ok = ["x0", "y0", "z0", "x1", "y1", "z1"].every((k) => Number.isFinite(c[k]));
    if (!ok) return { e: { x: 0, y: 0, z: 450 }, l: { x: 0, y: 0, z: 0 } };
    if (c.z0 > 100) return { e: { x: c.x0, y: c.y0, z: c.z0 }, l: { x: c.x1, y: c.y1, z: c.z1 } };
    const dx = c.x1 - c.x0, dy = c.y1 - c.y0, len = Math.hypot(dx, dy) || 1;
    return {
      e: { x: c.x0 - (60 * dx) / len, y: c.y0 - (60 * dy) / len, z: c.z0 + 45 },
      l: { x: c.x1, y: c.y1, z: 0 },
    };
  }

  function animate() {
    requestAnimationFrame(animate);
    const w = wantedCamera();
    for (const k of ["x", "y", "z"]) {
      eye[k] += (w.e[k] - eye[k]) * 0.2;
      look[k] += (w.l[k] - look[k]) * 0.2;
    }
    camera.position.set(eye.x, eye.y, eye.z);
    const dx = look.x - eye.x, dy = look.y - eye.y, dz = look.z - eye.z;
    // Looking straight down, "up" on the screen is the field's +y.
    if (Math.abs(dz) > 0.99 * Math.hypot(dx, dy, dz)) camera.up.set(0, 1, 0);
    else camera.up.set(0, 0, 1);
    camera.lookAt(look.x, look.y, look.z);
    renderer.render(scene, camera);
    state.frames++;
  }

  // ----------------------------------------------------------- canvas
  //
  // What the turtles painted, as the arena's own canvas. It is fetched only
  // when it changed (the arena answers 304 to the last ETag) and laid on the
  // field plane unlit, so painted colours show as the arena painted them.

  // Decodes a PNG off the page's thread into a bitmap that three.js uploads
  // as it is: top row first, so turned here for the texture's bottom-up rows.
  // Browsers without createImageBitmap get an image element instead.
  async function decodePng(blob) {
    if (typeof createImageBitmap === "function")
      return createImageBitmap(blob, { imageOrientation: "flipY" });
    const url = URL.createObjectURL(blob);
    try {
      const img = new Image();
      img.src = url;
      await img.decode();
      return img;
    } finally {
      URL.revokeObjectURL(url);
    }
  }

  // The field plane shows `image`: the first picture swaps the plain field's
  // material for the canvas texture; later ones only replace its image.
  function showCanvas(image) {
    const T = THREE_;
    if (!canvasTexture) {
      canvasTexture = new T.Texture(image);
      canvasTexture.magFilter = T.LinearFilter;
      canvasTexture.minFilter = T.LinearMipmapLinearFilter; // oblique views stay calm
      canvasTexture.anisotropy = renderer.capabilities.getMaxAnisotropy();
    } else {
      const old = canvasTexture.image;
      canvasTexture.image = image;
      if (old && typeof old.close === "function") old.close(); // a bitmap's memory
    }
    // NOTE: WebGL does not flip bitmaps on upload; decodePng turned them
    canvasTexture.flipY = !(typeof ImageBitmap !== "undefined" && image instanceof ImageBitmap);
    canvasTexture.needsUpdate = true;
    if (fieldMesh.material.map !== canvasTexture) {
      fieldMesh.material.dispose();
      fieldMesh.material = new T.MeshBasicMaterial({ map: canvasTexture });
      gridHelper.visible = false; // the canvas has the arena's own field colour
    }
  }

  // Back to the plain field, for an arena that has no canvas (any more).
  function hideCanvas() {
    if (!canvasTexture) return;
    fieldMesh.material.dispose();
    fieldMesh.material = new THREE_.MeshLambertMaterial({ color: 0x1d4a35 });
    gridHelper.visible = true;
    const old = canvasTexture.image;
    if (old && typeof old.close === "function") old.close();
    canvasTexture.dispose();
    canvasTexture = null;
  }

  // One look at /canvas.png; returns how long to wait before the next.
  async function pollCanvas() {
    const c = state.canvas;
    const headers = c.etag ? { "If-None-Match": c.etag } : {};
    const res = await fetch("/canvas.png", { cache: "no-store", headers: headers,
      referrerPolicy: "no-referrer" });
    if (res.status === 304) return CANVAS_POLL_MS;
    // NOTE: an arena older than the canvas answers every path with its page,
    // so anything but a PNG counts as no canvas, like a 404
    const type = res.headers.get("Content-Type") || "";
    if (res.status === 404 || (res.ok && !type.startsWith("image/png"))) {
      c.missing = true;
      c.etag = "";
      hideCanvas();
      return CANVAS_MISSING_POLL_MS;
    }
    if (!res.ok) return CANVAS_POLL_MS;
    // NOTE: the ETag is taken only once the picture is shown, so a picture
    // that fails to arrive or decode is asked for again in full.
    const image = await decodePng(await res.blob());
    if (state.source !== "arena") return CANVAS_POLL_MS;
    showCanvas(image);
    c.etag = res.headers.get("ETag") || "";
    c.missing = false;
    c.loads++;
    return CANVAS_POLL_MS;
  }

  async function canvasLoop() {
    for (;;) {
      const started = Date.now();
      if (state.source !== "arena") return;
      let wait = CANVAS_POLL_MS;
      try {
        wait = await pollCanvas();
      } catch (e) {
        // the arena is away or sent a broken picture: keep the last one
      }
      await sleep(Math.max(10, wait - (Date.now() - started)));
    }
  }

  // --------------------------------------------------------- controls
  //
  // A strip along the bottom of the page holding panels of buttons and
  // readouts, over the scene. The teacher bar is one panel; others (a
  // replay's timeline) get theirs from controls.panel(id).

  const controls = {
    root: null,

    // The panel `id`, made on first use.
    panel(id) {
      if (!this.root) {
        this.root = document.createElement("div");
        this.root.id = "qm-controls";
        this.root.style.cssText = "position:fixed;left:0;right:0;bottom:0;z-index:2;" +
          "background:rgba(0,16,32,0.85);color:#90ffff;font:13px monospace;" +
          "padding:4px 8px;";
        document.body.appendChild(this.root);
      }
      let el = document.getElementById("qm-panel-" + id);
      if (!el) {
        el = document.createElement("div");
        el.id = "qm-panel-" + id;
        el.style.cssText = "display:flex;flex-wrap:wrap;align-items:center;gap:4px;margin:2px 0;";
        this.root.appendChild(el);
      }
      return el;
    },
  };

  // A button of the strip's look.
  function controlButton(text, title, onClick) {
    const b = document.createElement("button");
    b.type = "button";
    b.textContent = text;
    b.title = title;
    b.style.cssText = "font:12px monospace;padding:2px 6px;border:1px solid #2f6a50;" +
      "border-radius:3px;background:#203040;color:#90ffff;cursor:pointer;";
    b.addEventListener("click", onClick);
    return b;
  }

  // ---------------------------------------------------------- teacher
  //
  // The teacher bar, shown when the page's address carries ?key=KEY. Every
  // request sends the key in X-Quillmere-Key and nowhere else.

  // The arena's actions: `toggle` names the state key a toggle's button shows;
  // `confirm` asks for a second click within CONFIRM_MS before acting.
  const TEACHER_ACTIONS = [
    { action: "battle", toggle: "battle", title: "battle mode on or off" },
    { action: "maze", toggle: "maze", title: "maze on or off" },
    { action: "private", toggle: "private", title: "private: only this host may connect" },
    { action: "walls", toggle: "walls", title: "walls on or off" },
    { action: "names", toggle: "names", title: "names shown or not" },
    { action: "scores", toggle: "scores", title: "scores shown or not" },
    { action: "clear", title: "clear the painted field" },
    { action: "zombies", title: "remove turtles whose program has gone" },
    { action: "stone", title: "as the window's stone key" },
    { action: "capture", title: "save a picture of the field on the arena's host" },
    { action: "killall", title: "kill all turtles", confirm: true },
    { action: "quit", title: "stop the arena", confirm: true },
  ];
  const CONFIRM_MS = 3000;
  const KEY_PATTERN = /^[\x21-\x7e]{1,256}$/; // what an HTTP header can carry as is

  const teacher = {
    key: "",
    buttons: new Map(), // action -> button
    readout: null,
    note: null,
    wake: null, // resolves the state loop's wait early
  };

  function teacherKeyFromPage() {
    const key = new URLSearchParams(window.location.search).get("key");
    return key === null ? null : key.trim();
  }

  function teacherRequest(method, path) {
    return fetch(path, {
      method: method,
      cache: "no-store",
      credentials: "omit",
      referrerPolicy: "no-referrer",
      headers: { "X-Quillmere-Key": teacher.key },
    });
  }

  function teacherSay(text) {
    state.teacher.message = text;
    if (teacher.note && teacher.note.textContent !== text) teacher.note.textContent = text;
  }

  // The buttons and readout from the last state; toggles show on or off.
  function teacherShow() {
    const st = state.teacher.state;
    for (const a of TEACHER_ACTIONS) {
      const b = teacher.buttons.get(a.action);
      if (!a.toggle || !b) continue;
      const on = st ? st[a.toggle] === true : false;
      // a public arena (open to other hosts) is worth a warning colour
      const open = a.action === "private" && st !== null && !st.private;
      if (b.dataset.armed !== "1") b.textContent = open ? "public" : a.action;
      b.setAttribute("aria-pressed", on ? "true" : "false");
      b.style.background = on ? "#2f8a60" : open ? "#8a5a10" : "#203040";
      b.style.color = on || open ? "#ffffff" : "#90ffff";
    }
    if (teacher.readout) {
      teacher.readout.textContent = st ? "ticks " + st.ticks + "  turtles " + st.turtles +
        "  clients " + st.clients : "";
    }
  }

  // What a refusal means for the teacher.
  function teacherRefusal(res, what) {
    if (res.status === 403) return "wrong key: the arena refused it";
    if (res.status === 404) return what;
    return "the arena answered " + res.status;
  }

  // The state as the arena sent it, kept only with the types it promises.
  function cleanState(v) {
    if (!v || typeof v !== "object") return null;
    const out = {};
    for (const k of ["battle", "maze", "private", "walls", "names", "scores"])
      out[k] = v[k] === true;
    for (const k of ["ticks", "turtles", "clients"])
      out[k] = Number.isFinite(v[k]) ? v[k] : 0;
    // an arena showing a recording adds where the replay is
    out.replay = v.replay === true;
    for (const k of ["tick", "first_tick", "ticks_total"])
      out[k] = Number.isFinite(v[k]) && v[k] >= 0 ? v[k] : 0;
    out.speed = Number.isFinite(v.speed) && v.speed > 0 ? v.speed : 1;
    out.playing = v.playing === true;
    return out;
  }

  // One look at /control/state; returns how long to wait before the next.
  async function teacherPoll() {
    let res;
    try {
      res = await teacherRequest("GET", "/control/state");
    } catch (e) {
      teacherSay("the arena is not reachable");
      return STATE_POLL_MS;
    }
    if (!res.ok) {
      teacherSay(teacherRefusal(res, "this arena has no teacher console"));
      return res.status === 403 ? STATE_REFUSED_POLL_MS : STATE_POLL_MS;
    }
    try {
      state.teacher.state = cleanState(await res.json());
      teacherSay("");
    } catch (e) {
      teacherSay("the arena sent a state this page cannot read");
    }
    teacherShow();
    timelineShow();
    const st = state.teacher.state;
    const lively = st && st.replay && (st.playing || Date.now() < timeline.livelyUntil);
    return lively ? REPLAY_POLL_MS : STATE_POLL_MS;
  }

  async function teacherLoop() {
    for (;;) {
      const wait = await teacherPoll();
      await new Promise((resolve) => {
        const timer = setTimeout(resolve, wait);
        teacher.wake = () => {
          clearTimeout(timer);
          resolve();
        };
      });
      teacher.wake = null;
    }
  }

  async function teacherAct(a, button) {
    if (a.confirm && button.dataset.armed !== "1") {
      button.dataset.armed = "1";
      button.textContent = a.action + "? again to confirm";
      setTimeout(() => {
        button.dataset.armed = "";
        button.textContent = a.action;
      }, CONFIRM_MS);
      return;
    }
    button.dataset.armed = "";
    button.textContent = a.action;
    try {
      const res = await teacherRequest("POST", "/control/" + a.action);
      if (res.status === 204 || res.ok) {
        state.teacher.actions++;
        teacherSay("");
      } else {
        teacherSay(teacherRefusal(res, "the arena does not know '" + a.action + "'"));
      }
    } catch (e) {
      teacherSay("the arena is not reachable");
    }
    if (teacher.wake) teacher.wake(); // show what the action changed at once
  }

  function teacherStart(key) {
    const bar = controls.panel("teacher");
    const title = document.createElement("span");
    title.textContent = "teacher:";
    bar.appendChild(title);
    if (!KEY_PATTERN.test(key)) {
      const bad = document.createElement("span");
      bad.textContent = "the key in this page's address is not a valid key";
      bar.appendChild(bad);
      return;
    }
    teacher.key = key;
    state.teacher.on = true;
    for (const a of TEACHER_ACTIONS) {
      const b = controlButton(a.action, a.title, () => teacherAct(a, b));
      b.dataset.action = a.action;
      teacher.buttons.set(a.action, b);
      bar.appendChild(b);
    }
    bar.appendChild(controlButton("open file", "play a recording file in this page", pickFile));
    teacher.readout = document.createElement("span");
    teacher.readout.style.cssText = "margin-left:8px;";
    teacher.note = document.createElement("span");
    teacher.note.id = "qm-teacher-note";
    teacher.note.style.cssText = "margin-left:8px;color:#ffd080;";
    bar.append(teacher.readout, teacher.note);
    teacherShow();
    teacherLoop();
  }

  // ------------------------------------------------- recording reader
  //
  // Reads a recording file (docs/recording.md) in the page: a header, then
  // blocks of zlib-packed frame records and canvas pictures. readRecording
  // checks the whole file once and indexes its frames; the player then
  // unpacks the blocks it needs again as it goes. A last block that the file
  // ends in the middle of (a killed recorder) is left out; any other fault
  // makes the file unusable, with a one-line reason.

  const REC = {
    HEADER_MAX: 4096, // bytes of the header text
    BLOCK_HEAD: 28,
    RAW_MAX: 16 << 20, // a block's unpacked bytes at most
    CANVAS_BYTES: FIELD * FIELD * 3,
    FRAMES: 0x46, // 'F'
    CANVAS: 0x43, // 'C'
    FIRST_KEY: 1, // frames: the first frame is a keyframe; canvas: a whole picture
    MAX_TURTLE: 30,
    MAX_WALL: 700,
    MAX_COIN: 300,
    TEXT_MAX: 128,
  };
  const PAINT_BRUSH = 1, PAINT_BRUSH_TAIL = 2, PAINT_PEN = 3;
  const FILE_MAX = 1 << 30; // a bigger file is not read into the page

  function recError(text) {
    const e = new Error(text);
    e.recording = true;
    return e;
  }
  const damaged = (what) => recError("the recording is damaged (" + what + ")");

  let crcTable = null;
  function crc32(bytes) {
    if (!crcTable) {
      crcTable = new Uint32Array(256);
      for (let n = 0; n < 256; n++) {
        let c = n;
        for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
        crcTable[n] = c >>> 0;
      }
    }
    let c = 0xffffffff;
    for (let i = 0; i < bytes.length; i++) c = crcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }

  // NOTE: each unpacking waits on the browser a few times, and a busy page
  // (a software-drawn scene) makes every wait long; so blocks are unpacked
  // side by side, this many at once.
  const UNPACK_AHEAD = 16;
  // Deflate packs at most 1032 bytes into one: stored bytes that cannot
  // unpack to more than this are left to the browser to unpack in one go.
  const UNPACK_AT_ONCE = 64 << 20;

  // The stored bytes of a block unpacked by the browser's own zlib, checked
  // against the raw length the block declares. A block that could unpack to
  // more than UNPACK_AT_ONCE is read piece by piece and stopped at that
  // length, so a hostile block cannot make the page allocate beyond it.
  async function unpack(stored, rawLength) {
    const stream = () => new Blob([stored]).stream()
      .pipeThrough(new DecompressionStream("deflate"));
    let out;
    try {
      out = stored.length * 1032 <= UNPACK_AT_ONCE
        ? new Uint8Array(await new Response(stream()).arrayBuffer())
        : await unpackBounded(stream().getReader(), rawLength);
    } catch (e) {
      throw damaged("a block does not unpack");
    }
    if (!out || out.length !== rawLength) throw damaged("a block does not unpack");
    return out;
  }

  async function unpackBounded(reader, rawLength) {
    const out = new Uint8Array(rawLength);
    let got = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) return got === rawLength ? out : null;
      if (got + value.length > rawLength) {
        reader.cancel().catch(() => {});
        return null;
      }
      out.set(value, got);
      got += value.length;
    }
  }

  function blockBytes(rec, b) {
    return rec.bytes.subarray(b.offset, b.offset + b.stored);
  }

  // -- one frame record

  // The reader of one block's records: every read checks the end first.
  function cursorOf(raw) {
    return { b: raw, dv: new DataView(raw.buffer, raw.byteOffset, raw.byteLength), p: 0,
      end: raw.length };
  }
  const cutShort = () => recError("a frame record is cut short or impossible");

  function rdU8(c) {
    if (c.p >= c.end) throw cutShort();
    return c.b[c.p++];
  }

  // A var as a Number; a value beyond what a Number holds exactly is refused.
  function rdVar(c) {
    let v = 0, scale = 1;
    for (let i = 0; i < 10; i++) {
      const x = rdU8(c);
      v += (x & 0x7f) * scale;
      if (!(x & 0x80)) {
        if (v > Number.MAX_SAFE_INTEGER) throw cutShort();
        return v;
      }
      scale *= 128;
    }
    throw cutShort();
  }


  function rdCount(c, most) {
    const v = rdVar(c);
    if (most < 0 || v > most) throw cutShort();
    return v;
  }

  function rdInt(c) {
    const v = rdVar(c);
    const n = v % 2 === 0 ? v / 2 : -(v + 1) / 2;
    if (n < -2147483648 || n > 2147483647) throw cutShort();
    return n;
  }

  function rdDouble(c) {
    if (c.end - c.p < 8) throw cutShort();
    const v = c.dv.getFloat64(c.p, true);
    c.p += 8;
    return v;
  }

  // 64-bit numbers as two 32-bit words, low first, at [2i] and [2i + 1]
  // of a Uint32Array (which keeps what is stored in it modulo 2^32).
  // NOTE: the bits of doubles are the words of a Float64Array's buffer,
  // which every browser lays out little-endian.
  function addSigned(u32, i, d) { // d an integer of at most 53 bits
    const q = Math.trunc(d / 4294967296), lo = u32[2 * i] + (d - q * 4294967296);
    const carry = Math.floor(lo / 4294967296);
    u32[2 * i] = lo - carry * 4294967296;
    u32[2 * i + 1] = u32[2 * i + 1] + q + carry;
  }

  function addWords(dst, i, src, j) {
    const lo = dst[2 * i] + src[2 * j];
    dst[2 * i] = lo;
    dst[2 * i + 1] = dst[2 * i + 1] + src[2 * j + 1] + (lo >= 4294967296 ? 1 : 0);
  }

  const wordsBig = (u32, i) => (BigInt(u32[2 * i + 1]) << 32n) | BigInt(u32[2 * i]);
  function setBig(u32, i, v) {
    u32[2 * i] = Number(v & 0xffffffffn);
    u32[2 * i + 1] = Number(v >> 32n);
  }

  // A moving number: double i of `bits` changes by its pace (number j of
  // `pace`, the change it had before) plus a zigzag integer, and that change
  // is its pace from now on. Values are kept as their bits so that they
  // come back exactly, whatever they are. A zigzag integer of up to 49 bits
  // (nearly all) is added with Numbers; a longer one with BigInt.
  function rdMoving(c, bits, i, pace, j) {
    const start = c.p;
    let z = 0, scale = 1;
    for (let k = 0; k < 7; k++) {
      const x = rdU8(c);
      z += (x & 0x7f) * scale;
      scale *= 128;
      if (x & 0x80) continue;
      addSigned(pace, j, z % 2 === 0 ? z / 2 : -(z + 1) / 2);
      addWords(bits, i, pace, j);
      return;
    }
    c.p = start;
    let v = 0n, shift = 0n;
    for (let k = 0; k < 10; k++) {
      const x = rdU8(c);
      v |= BigInt(x & 0x7f) << shift;
      shift += 7n;
      if (x & 0x80) continue;
      v = BigInt.asUintN(64, v);
      const change = BigInt.asUintN(64, wordsBig(pace, j) + ((v >> 1n) ^ -(v & 1n)));
      setBig(pace, j, change);
      setBig(bits, i, BigInt.asUintN(64, wordsBig(bits, i) + change));
      return;
    }
    throw cutShort();
  }

  function rdText(c) {
    const n = rdCount(c, REC.TEXT_MAX);
    if (c.end - c.p < n) throw cutShort();
    let bytes = c.b.subarray(c.p, c.p + n);
    c.p += n;
    const nul = bytes.indexOf(0); // the arena's texts end at a zero byte
    if (nul >= 0) bytes = bytes.subarray(0, nul);
    return new TextDecoder().decode(bytes);
  }

  // The coder's memory: the frame before, against which the next is coded.
  // Each slot's five moving numbers (x, y, heading, bullet x, y) are kept as
  // bits, with their paces. With `marks`, decodeFrame hands out the marks
  // each frame paints.
  const SLOT_DOUBLES = 5;
  function newMemory(marks) {
    const num = new Float64Array(REC.MAX_TURTLE * SLOT_DOUBLES);
    const p0 = new Float64Array(REC.MAX_TURTLE * 2);
    const m = { tick: 0, ntmax: 0, slots: [], num: num, u32: new Uint32Array(num.buffer),
      pace: new Uint32Array(REC.MAX_TURTLE * SLOT_DOUBLES * 2),
      penV: new Float64Array(REC.MAX_TURTLE * PEN), penP0: p0, penW: new Uint32Array(p0.buffer),
      penPace: new Uint32Array(REC.MAX_TURTLE * 4), penKnown: new Uint8Array(REC.MAX_TURTLE),
      walls: [], coins: [], marks: marks, listed: new Uint8Array(REC.MAX_TURTLE) };
    resetMemory(m);
    return m;
  }

  function emptySlot() {
    return { status: 0, event: 0, team: 0, ttl: 0, bttf: 0, score: 0, ncoin: 0, name: "" };
  }

  function resetMemory(m) {
    m.tick = 0;
    m.ntmax = 0;
    for (let t = 0; t < REC.MAX_TURTLE; t++) m.slots[t] = emptySlot();
    m.num.fill(0);
    m.pace.fill(0);
    m.penPace.fill(0);
    m.penKnown.fill(0); // every trail unknown
  }

  // A slot's pen in the memory: in penV (PEN doubles a slot) the trail
  // newest first, seven x, y pairs, then seven r, g, b, width quadruples
  // (from RGBW); the newest point's bits also in penP0, as the next one is
  // coded against them. Read in place: only the marks a frame paints are
  // copied out, and only when the caller wants them.
  const PEN = 42, RGBW = 14;

  function rdPen(c, m, tid) {
    const pen = { nstroke: rdCount(c, 2147483647), status: rdVar(c) >>> 0 };
    const known = m.penKnown[tid] === 1, v = m.penV, o = tid * PEN;
    const how = rdU8(c);
    if (how === 2 && known) return pen;
    if ((how !== 0 && how !== 1) || (how === 1 && !known)) throw cutShort();
    const n = how === 1 ? 1 : 7;
    if (how === 1) { // shifted by one move
      v.copyWithin(o + 2, o, o + 12);
      v.copyWithin(o + RGBW + 4, o + RGBW, o + RGBW + 24);
    }
    if (!known) {
      m.penP0.fill(0, 2 * tid, 2 * tid + 2);
      m.penPace.fill(0, 4 * tid, 4 * tid + 4);
    }
    rdMoving(c, m.penW, 2 * tid, m.penPace, 2 * tid);
    rdMoving(c, m.penW, 2 * tid + 1, m.penPace, 2 * tid + 1);
    v[o] = m.penP0[2 * tid];
    v[o + 1] = m.penP0[2 * tid + 1];
    for (let k = 1; k < n; k++) {
      v[o + 2 * k] = rdDouble(c);
      v[o + 2 * k + 1] = rdDouble(c);
    }
    for (let k = 0; k < n; k++) {
      if (rdU8(c) === 1) { // the newest point's colour and width as before
        if (k !== 0 || !known) throw cutShort();
        continue;
      }
      for (let q = 0; q < 4; q++) v[o + RGBW + 4 * k + q] = rdDouble(c);
    }
    m.penKnown[tid] = 1;
    return pen;
  }

  // Reads the frame record at c into memory m (which then holds the world
  // of that frame) and returns what is the frame's own: its tick, whether
  // it is a keyframe, a clear of the canvas and the marks painted.
  function decodeFrame(c, m) {
    const tag = rdU8(c);
    if (tag !== 0x4b && tag !== 0x44) throw cutShort(); // 'K', 'D'
    const key = tag === 0x4b;
    if (key) resetMemory(m);
    const t = rdVar(c);
    const f = { key: key, tick: key ? t : m.tick + t, clear: false, bg: null, paints: [] };
    m.modes = rdU8(c);
    const clear = rdU8(c);
    if (clear > 1) throw cutShort();
    if (clear) {
      f.clear = true;
      f.bg = [rdDouble(c), rdDouble(c), rdDouble(c)];
    }
    const ntmax = rdCount(c, REC.MAX_TURTLE);
    for (let k = m.ntmax; k < ntmax; k++) {
      m.slots[k] = emptySlot();
      m.num.fill(0, k * SLOT_DOUBLES, (k + 1) * SLOT_DOUBLES);
    }
    m.ntmax = ntmax;
    const nchanged = rdCount(c, ntmax);
    m.listed.fill(0);
    for (let k = 0; k < nchanged; k++) {
      const tid = rdCount(c, ntmax - 1);
      const mask = rdCount(c, 8191);
      if (m.listed[tid] || mask === 0) throw cutShort(); // each changed slot once
      m.listed[tid] = 1;
      const s = m.slots[tid];
      if (mask & 1) s.status = rdVar(c) >>> 0;
      if (mask & 2) s.event = rdVar(c) >>> 0;
      if (mask & 4) s.team = rdInt(c);
      if (mask & 8) s.ttl = rdInt(c);
      if (mask & 16) s.bttf = rdInt(c);
      if (mask & 32) s.score = rdInt(c);
      if (mask & 64) s.ncoin = rdInt(c);
      for (let i = 0, d = tid * SLOT_DOUBLES; i < SLOT_DOUBLES; i++, d++) {
        if (mask & (128 << i)) rdMoving(c, m.u32, d, m.pace, d);
        else m.pace.fill(0, 2 * d, 2 * d + 2); // unchanged: no pace any more
      }
      if (mask & 4096) s.name = rdText(c);
    }
    for (let t = 0; t < ntmax; t++) // slots not listed lose their pace too
      if (!m.listed[t]) m.pace.fill(0, 2 * t * SLOT_DOUBLES, 2 * (t + 1) * SLOT_DOUBLES);
    const walls = rdU8(c);
    if (walls > 1 || (key && !walls)) throw cutShort();
    if (walls) {
      m.walls = [];
      const nwall = rdCount(c, REC.MAX_WALL);
      for (let i = 0; i < nwall; i++) {
        const v = [];
        for (let q = 0; q < 6; q++) v.push(rdDouble(c));
        const status = rdVar(c);
        // the wall feed lists front faces only; one that is not finite
        // (a hostile file) would give the scene an endless box
        if (!(status & 0x100000) && v.every(Number.isFinite))
          m.walls.push({ x1: v[0], y1: v[1], x2: v[2], y2: v[3], nx: v[4], ny: v[5] });
      }
    }
    const coins = rdU8(c);
    if (coins > 1 || (key && !coins)) throw cutShort();
    if (coins) {
      const ncoin = rdCount(c, REC.MAX_COIN);
      const slots = new Array(ncoin).fill(null);
      const on = rdCount(c, ncoin);
      for (let k = 0; k < on; k++) {
        const i = rdCount(c, ncoin - 1);
        slots[i] = { x: rdDouble(c), y: rdDouble(c), ord: rdInt(c) };
      }
      m.coins = slots.filter((x) => x !== null);
    }
    const nblast = rdCount(c, REC.MAX_TURTLE); // wall blasts: not in the feeds
    for (let k = 0; k < nblast; k++) {
      rdCount(c, REC.MAX_TURTLE - 1);
      rdDouble(c);
      rdDouble(c);
    }
    const npaint = rdCount(c, REC.MAX_TURTLE);
    for (let k = 0; k < npaint; k++) {
      const tid = rdCount(c, REC.MAX_TURTLE - 1);
      const kind = rdU8(c);
      if (kind > PAINT_PEN) throw cutShort();
      const msg = rdText(c);
      const pen = rdPen(c, m, tid);
      if (!m.marks) continue;
      pen.v = m.penV.slice(tid * PEN, (tid + 1) * PEN);
      f.paints.push({ tid: tid, kind: kind, msg: msg, pen: pen });
    }
    m.tick = f.tick;
    return f;
  }

  // The world in memory m as the turtle feed shows it at tick `tick`.
  function turtleFeed(m, tick) {
    const out = [];
    for (let t = 0; t < m.ntmax; t++) {
      const s = m.slots[t], d = m.num, i = t * SLOT_DOUBLES;
      const st = s.status, ev = s.event;
      out.push({
        tid: t, time: tick % 4294967296, type: st & 0x800 ? 2 : st & 0x400 ? 3 : 1,
        name: s.name, team: s.team, x: d[i], y: d[i + 1], head: d[i + 2] % 360, ttl: s.ttl,
        bx: d[i + 3], by: d[i + 4], bttf: s.bttf, score: s.score, ncoin: s.ncoin,
        alive: (st & 0x1) !== 0, firing: (st & 0x80) !== 0, got_hit: (ev & 0x1) !== 0,
        collide: (ev & 0x1e) !== 0, detected: (ev & 0xc0) !== 0, got_msg: (ev & 0x100) !== 0,
      });
    }
    return out;
  }

  // -- the file

  // Reads and checks a whole recording: the header, every block's size and
  // checksum, and every frame record. Returns the file with its index: the
  // tick of every frame, where each keyframe starts, the canvas pictures.
  async function readRecording(bytes) {
    const magic = [0x51, 0x4d, 0x52, 0x45, 0x43]; // "QMREC"
    if (bytes.length < 8 || magic.some((b, i) => bytes[i] !== b))
      throw recError("not a recording of this arena");
    if (bytes[5] !== 1) throw recError("a recording of another version");
    const hlen = bytes[6] | (bytes[7] << 8);
    if (hlen > REC.HEADER_MAX || 8 + hlen > bytes.length)
      throw recError("the recording's header is cut short");
    const header = {};
    for (const line of new TextDecoder().decode(bytes.subarray(8, 8 + hlen)).split("\n")) {
      const eq = line.indexOf("=");
      if (eq > 0) header[line.slice(0, eq)] = line.slice(eq + 1);
    }
    const rec = { bytes: bytes, header: header, blocks: [], torn: 0, ticks: [], blockOf: [],
      keys: [], canvases: [] };
    const dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    let at = 8 + hlen, lastTick = -1;
    while (at < bytes.length) {
      if (bytes.length - at < REC.BLOCK_HEAD) {
        rec.torn = bytes.length - at;
        break;
      }
      const b = { kind: bytes[at], flags: bytes[at + 1],
        tick: Number(dv.getBigUint64(at + 4, true)), count: dv.getUint32(at + 12, true),
        raw: dv.getUint32(at + 16, true), stored: dv.getUint32(at + 20, true),
        offset: at + REC.BLOCK_HEAD };
      const crc = dv.getUint32(at + 24, true);
      if (b.kind !== REC.FRAMES && b.kind !== REC.CANVAS) throw damaged("a block of no known kind");
      if (b.raw > REC.RAW_MAX || b.raw > b.stored * 1032 + 64 ||
        (b.kind === REC.CANVAS && b.raw !== REC.CANVAS_BYTES) ||
        (b.kind === REC.FRAMES && (b.count === 0 || b.count > b.raw)))
        throw damaged("a block of impossible size");
      if (b.stored > bytes.length - b.offset) { // what a killed recorder leaves
        rec.torn = bytes.length - at;
        break;
      }
      if (crc32(blockBytes(rec, b)) !== crc) throw damaged("a block fails its checksum");
      if (b.kind === REC.FRAMES) {
        if (lastTick >= 0 && b.tick <= lastTick) throw damaged("its ticks run backwards");
        if (lastTick < 0 && !(b.flags & REC.FIRST_KEY))
          throw recError("the recording does not start with a keyframe");
        lastTick = b.tick;
      }
      rec.blocks.push(b);
      at = b.offset + b.stored;
    }
    // every frame once: it checks them all and makes the index
    const m = newMemory(false);
    let lastWhole = -1;
    const ahead = new Map(); // block -> its unpacking, started a window ahead
    for (let bi = 0; bi < rec.blocks.length; bi++) {
      const b = rec.blocks[bi];
      if (b.kind === REC.CANVAS) {
        if (b.flags & REC.FIRST_KEY) lastWhole = bi;
        if (lastWhole < 0) throw damaged("a canvas change before any whole canvas");
        rec.canvases.push({ tick: b.tick, block: bi, base: lastWhole });
        continue;
      }
      for (let k = bi; k < rec.blocks.length && ahead.size < UNPACK_AHEAD; k++) {
        const bk = rec.blocks[k];
        if (bk.kind === REC.FRAMES && !ahead.has(k)) {
          const job = unpack(blockBytes(rec, bk), bk.raw);
          job.catch(() => {}); // looked at when its turn comes
          ahead.set(k, job);
        }
      }
      const job = ahead.get(bi);
      ahead.delete(bi);
      const c = cursorOf(await job);
      for (let i = 0; i < b.count; i++) {
        const start = c.p;
        let f;
        try {
          f = decodeFrame(c, m);
        } catch (e) {
          throw damaged("frame " + rec.ticks.length + " cannot be read");
        }
        const n = rec.ticks.length;
        if ((i === 0 && f.key !== ((b.flags & REC.FIRST_KEY) !== 0)) ||
          (n > 0 && f.tick <= rec.ticks[n - 1]))
          throw damaged("frame " + n + " cannot be read");
        if (f.key) rec.keys.push({ frame: n, block: bi, offset: start });
        rec.ticks.push(f.tick);
        rec.blockOf.push(bi);
      }
      if (c.p !== c.end) throw damaged("a block holds more than its frames");
    }
    if (rec.ticks.length === 0) throw recError("the recording holds no frame");
    // pictures of frames that a torn tail lost are of no use
    const last = rec.ticks[rec.ticks.length - 1];
    rec.canvases = rec.canvases.filter((p) => p.tick <= last);
    const period = Number(header.period_ms);
    rec.periodMs = period >= 1 && period <= 1000 ? period : 8;
    return rec;
  }

  // ------------------------------------------------------ local player
  //
  // Plays a recording read into the page: the frames at the recorded speed
  // (period_ms a tick, times the speed), paused, a frame back or on, or from
  // any moment. A moment is shown from the keyframe and the canvas picture
  // before it: the world is decoded forward from the one, the marks painted
  // since are drawn onto the other. Only playerLoop changes the player; the
  // timeline and a new file leave requests in it.

  const player = {
    rec: null,
    incoming: null, // a file read and checked, to be played from the next step
    dec: null, // decoder: { c, m, block, next } (next: the frame it reads next)
    shown: -1, // the frame shown
    playTick: 0,
    speed: 1,
    playing: false,
    seekTo: -1, // a frame to show at the next step, or -1
    lastStep: 0,
    running: false,
    raws: new Map(), // block -> its unpacking (a promise), the last few used
    whole: { block: -1, raw: null }, // the last whole canvas picture unpacked
  };
  const RAW_CACHE = 2 * UNPACK_AHEAD;

  // The unpacked bytes of block bi, from the cache or unpacked now.
  function blockRaw(rec, bi) {
    let job = player.raws.get(bi);
    if (job) return job;
    const b = rec.blocks[bi];
    job = unpack(blockBytes(rec, b), b.raw);
    job.catch(() => player.raws.delete(bi)); // asked for again next time
    if (player.raws.size >= RAW_CACHE) player.raws.delete(player.raws.keys().next().value);
    player.raws.set(bi, job);
    return job;
  }

  // Starts unpacking the frame blocks from block `from` on, up to `count`
  // of them (at most to block `to`), so that they are ready when wanted.
  function prefetch(rec, from, to, count) {
    for (let b = from; b < rec.blocks.length && b <= to && count > 0; b++) {
      if (rec.blocks[b].kind !== REC.FRAMES) continue;
      blockRaw(rec, b).catch(() => {});
      count--;
    }
  }

  // A decoder placed before keyframe `key`.
  async function decoderAt(rec, key) {
    const c = cursorOf(await blockRaw(rec, key.block));
    c.p = key.offset;
    return { c: c, m: newMemory(true), block: key.block, next: key.frame };
  }

  async function decodeNext(rec, dec) {
    while (dec.c.p >= dec.c.end) {
      let b = dec.block + 1;
      while (b < rec.blocks.length && rec.blocks[b].kind !== REC.FRAMES) b++;
      if (b >= rec.blocks.length) throw damaged("it ends before its last frame");
      dec.block = b;
      prefetch(rec, b + 1, Infinity, 2); // playing on needs the next ones soon
      dec.c = cursorOf(await blockRaw(rec, b));
    }
    const f = decodeFrame(dec.c, dec.m);
    dec.next++;
    return f;
  }

  // Shows frame `target` from the picture and the keyframe before it.
  async function playerSeek(rec, target) {
    const t = rec.ticks[target];
    let pic = null, key = rec.keys[0];
    for (const p of rec.canvases) if (p.tick <= t) pic = p;
    for (const k of rec.keys) if (k.frame <= target) key = k;
    // NOTE: the recorder keeps a picture at every keyframe after which
    // anything was painted, so nothing was painted between the last picture
    // and the last keyframe when that comes later: decoding may start there.
    prefetch(rec, key.block, rec.blockOf[target], UNPACK_AHEAD);
    let paintedUpTo = -1;
    if (pic) {
      fileCanvasPicture(await canvasPixels(rec, pic));
      paintedUpTo = pic.tick;
    } else {
      key = rec.keys[0]; // no picture: every mark from the first frame on
      fileCanvasClear([0, 0, 0]);
    }
    const dec = await decoderAt(rec, key);
    while (dec.next <= target) {
      const f = await decodeNext(rec, dec);
      if (f.tick > paintedUpTo) fileCanvasPaint(f);
    }
    player.dec = dec;
    player.shown = target;
  }

  async function playerAdvance(rec) {
    fileCanvasPaint(await decodeNext(rec, player.dec));
    player.shown = player.dec.next - 1;
  }

  // The RGB picture of canvas picture p: a whole one, or a change XORed
  // onto the whole one before it. The last whole one is kept unpacked.
  async function canvasPixels(rec, p) {
    const unpackBlock = (bi) => unpack(blockBytes(rec, rec.blocks[bi]), rec.blocks[bi].raw);
    const change = p.block === p.base ? null : unpackBlock(p.block);
    if (change) change.catch(() => {}); // looked at below
    if (player.whole.block !== p.base) {
      player.whole = { block: -1, raw: null };
      player.whole = { block: p.base, raw: await unpackBlock(p.base) };
    }
    const whole = player.whole.raw;
    if (!change) return whole;
    const rgb = await change;
    for (let i = 0; i < rgb.length; i++) rgb[i] ^= whole[i];
    return rgb;
  }

  // One step of the player: a new file, a seek, or playing on.
  async function playerStep() {
    const now = performance.now();
    const dt = Math.min(250, now - player.lastStep); // a hidden page does not jump far
    player.lastStep = now;
    if (player.incoming) {
      player.rec = player.incoming;
      player.incoming = null;
      player.raws.clear();
      player.whole = { block: -1, raw: null };
      player.dec = null;
      player.shown = -1;
      player.seekTo = 0;
      player.playing = true;
    }
    const rec = player.rec;
    if (!rec) return;
    const n = rec.ticks.length;
    let moved = false;
    if (player.seekTo >= 0) {
      const target = player.seekTo;
      player.seekTo = -1;
      if (player.dec && target === player.dec.next) await playerAdvance(rec); // one on
      else await playerSeek(rec, target);
      player.playTick = rec.ticks[player.shown];
      moved = true;
    } else if (player.playing && player.dec) {
      player.playTick += (dt * player.speed) / rec.periodMs;
      while (player.dec.next < n && rec.ticks[player.dec.next] <= player.playTick) {
        await playerAdvance(rec);
        moved = true;
      }
    }
    if (player.dec && player.dec.next >= n && player.playing) {
      player.playing = false; // the last frame is held
      player.playTick = rec.ticks[n - 1];
    }
    if (moved) playerPublish(rec);
    timelineShow();
  }

  async function playerLoop() {
    for (;;) {
      const started = Date.now();
      try {
        await playerStep();
      } catch (e) {
        // a block the first reading passed that does not unpack now
        player.playing = false;
        const why = e.recording ? e.message : "it cannot be read";
        fileSay("cannot play " + state.file.name + ": " + why, why);
      }
      await sleep(Math.max(4, PLAYER_STEP_MS - (Date.now() - started)));
    }
  }

  // The frame shown, handed to the scene in the feeds' shape.
  function playerPublish(rec) {
    const m = player.dec.m, tick = rec.ticks[player.shown];
    state.turtles = turtleFeed(m, tick);
    state.walls = m.walls;
    state.coins = m.coins;
    state.camera = fileCamera(state.turtles);
    updateScene();
    writeScores();
    if (canvasTexture) canvasTexture.needsUpdate = true;
  }

  // The camera the feed would give for the turtle named in the page's path
  // (the page at "/" asks for "/camera", which names a turtle "camera").
  function fileCamera(turtles) {
    const seg = cameraPath().split("/")[1];
    const inUse = (t) => t && t.alive; // slot bit 0x1
    let t = null;
    if (/^[~$][0-9]+$/.test(seg)) t = turtles[Number(seg.slice(1))];
    else t = turtles.find((x) => inUse(x) && x.name.toLowerCase() === seg.toLowerCase());
    if (!inUse(t)) return { x0: 0, y0: 0, z0: 450, x1: 0, y1: 0, z1: 0 };
    const h = (t.head * Math.PI) / 180;
    return { x0: t.x, y0: t.y, z0: 10, x1: t.x + 100 * Math.cos(h), y1: t.y + 100 * Math.sin(h),
      z1: 10 };
  }

  // Controls from the timeline.
  function playerControl(what, value) {
    const rec = player.rec;
    if (!rec) return;
    const n = rec.ticks.length;
    if (what === "play") {
      if (player.shown >= n - 1) player.seekTo = 0; // at the end: from the start again
      player.playing = true;
    } else if (what === "pause") {
      player.playing = false;
    } else if (what === "step") {
      player.playing = false;
      const base = player.seekTo >= 0 ? player.seekTo : player.shown;
      player.seekTo = Math.min(n - 1, Math.max(0, base + value));
    } else if (what === "seek") {
      // the last frame at or before the tick
      let lo = 0, hi = n - 1;
      while (lo < hi) {
        const mid = (lo + hi + 1) >> 1;
        if (rec.ticks[mid] <= value) lo = mid; else hi = mid - 1;
      }
      player.seekTo = lo;
    } else if (what === "speed") {
      player.speed = value;
    }
    timelineShow();
  }

  // ------------------------------------------------------ file canvas
  //
  // The painted canvas of a played file: a 512 x 512 2D canvas, top row
  // first, laid on the field plane like /canvas.png. A kept picture is put
  // in as it is; the marks painted after it are drawn as plain lines, dots,
  // polygons and texts of the pen's colour and width.
  // NOTE: this only approximates the arena's brush (its ink dabs, curves
  // and tapering tails become straight round-capped lines), so between
  // kept pictures the canvas looks close to, not exactly like, the arena's.

  let fileCanvas = null, fileCtx = null;

  function fileCanvasMake() {
    if (fileCanvas) return;
    fileCanvas = document.createElement("canvas");
    fileCanvas.id = "qm-file-canvas";
    fileCanvas.width = fileCanvas.height = FIELD;
    fileCanvas.style.display = "none";
    document.body.appendChild(fileCanvas);
    fileCtx = fileCanvas.getContext("2d");
  }

  function colour(r, g, b) {
    const c = (v) => Math.round(255 * Math.min(1, Math.max(0, Number.isFinite(v) ? v : 0)));
    return "rgb(" + c(r) + "," + c(g) + "," + c(b) + ")";
  }

  const penWidth = (w) => (Number.isFinite(w) ? Math.min(FIELD, Math.max(1, Math.abs(w))) : 1);

  function fileCanvasClear(bg) {
    const g = fileCtx;
    g.setTransform(1, 0, 0, 1, 0, 0);
    g.fillStyle = colour(bg[0], bg[1], bg[2]);
    g.fillRect(0, 0, FIELD, FIELD);
  }

  // A kept picture: RGB rows, bottom row first.
  function fileCanvasPicture(rgb) {
    const img = fileCtx.createImageData(FIELD, FIELD);
    const d = img.data;
    for (let row = 0; row < FIELD; row++) {
      let from = (FIELD - 1 - row) * FIELD * 3, to = row * FIELD * 4;
      for (let x = 0; x < FIELD; x++, from += 3, to += 4) {
        d[to] = rgb[from];
        d[to + 1] = rgb[from + 1];
        d[to + 2] = rgb[from + 2];
        d[to + 3] = 255;
      }
    }
    fileCtx.putImageData(img, 0, 0);
  }

  // Trail point i of pen p (newest first), with the colour and width in
  // force during the move that ended there.
  function trailPoint(p, i) {
    const v = p.v, q = RGBW + 4 * Math.min(i + 1, 6);
    return { x: v[2 * i], y: v[2 * i + 1], r: v[q], g: v[q + 1], b: v[q + 2], w: v[q + 3] };
  }

  // Straight segments through trail points from..to (older to newer), all
  // in the colour of the first one, each as wide as its two ends on average.
  function strokeThrough(p, from, to, cap) {
    const g = fileCtx, first = trailPoint(p, from);
    g.strokeStyle = colour(first.r, first.g, first.b);
    g.lineCap = g.lineJoin = cap;
    for (let i = from; i > to; i--) {
      const a = trailPoint(p, i), b = trailPoint(p, i - 1);
      g.lineWidth = penWidth((a.w + b.w) / 2);
      g.beginPath();
      g.moveTo(a.x, a.y);
      g.lineTo(b.x, b.y);
      g.stroke();
    }
  }

  function paintMark(j) {
    const g = fileCtx, p = j.pen, n = p.nstroke;
    if (j.kind === PAINT_PEN) {
      const a = trailPoint(p, 0);
      if (p.status & 0x8) { // fill: the polygon over the newest points
        if (n <= 1) return;
        g.fillStyle = colour(a.r, a.g, a.b);
        g.beginPath();
        for (let i = Math.min(n, 5); i >= 0; i--) g.lineTo(p.v[2 * i], p.v[2 * i + 1]);
        g.closePath();
        g.fill();
      } else if (p.status & 0x4) { // a point of the pen's width
        const w = penWidth(a.w);
        g.fillStyle = colour(a.r, a.g, a.b);
        g.fillRect(a.x - w / 2, a.y - w / 2, w, w);
      } else {
        strokeThrough(p, 1, 0, "butt");
      }
    } else if (j.kind === PAINT_BRUSH && n >= 4) {
      strokeThrough(p, 3, 2, "round"); // the pen down, the brush is two moves behind
    } else if (j.kind === PAINT_BRUSH_TAIL) {
      strokeThrough(p, Math.max(1, Math.min(n, 4) - 1), 0, "round"); // what is left, to the end
    }
  }

  // Draws what frame f painted: a clear, the marks, the printed texts.
  function fileCanvasPaint(f) {
    const g = fileCtx;
    if (f.clear) fileCanvasClear(f.bg);
    if (f.paints.length === 0) return;
    g.setTransform(1, 0, 0, -1, FIELD / 2, FIELD / 2); // field units, +y up
    for (const j of f.paints) paintMark(j);
    g.setTransform(1, 0, 0, 1, 0, 0);
    for (const j of f.paints) {
      if (!j.msg) continue;
      const v = j.pen.v; // the text takes the turtle's newest colour
      g.fillStyle = colour(v[RGBW], v[RGBW + 1], v[RGBW + 2]);
      g.font = "12px sans-serif";
      g.fillText(j.msg, FIELD / 2 + v[0], FIELD / 2 - v[1]);
    }
  }

  // --------------------------------------------------------- timeline
  //
  // The replay's panel in the controls strip. It drives the arena's replay
  // through the console (the teacher's key) or, once a file plays here, the
  // local player; it shows the same things for both.

  const timeline = {
    bar: null,
    title: null,
    play: null,
    speed: null,
    slider: null,
    tick: null,
    note: null,
    live: null,
    dragging: false,
    drag: { want: -1, final: false, busy: false, last: 0, timer: null },
    livelyUntil: 0, // the arena's replay is polled often until then
  };
  const LIVELY_MS = 2000; // after an action: the arena shows a seek a little later
  const SPEED_MIN = 0.25, SPEED_MAX = 16;

  // Where the replay is, from the player or from the arena's last state;
  // null when there is nothing to show.
  function timelineView() {
    if (state.source === "file") {
      const rec = player.rec;
      if (!rec || player.shown < 0) return null;
      return { tick: rec.ticks[player.shown], first: rec.ticks[0],
        last: rec.ticks[rec.ticks.length - 1], speed: player.speed, playing: player.playing };
    }
    const st = state.teacher.state;
    if (!st || !st.replay) return null;
    return { tick: st.tick, first: st.first_tick, last: st.ticks_total, speed: st.speed,
      playing: st.playing };
  }

  function timelineSay(text) {
    state.timeline.message = text;
    if (timeline.note) setText(timeline.note, text);
  }

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  function timelineShow() {
    const v = timelineView();
    const tl = state.timeline;
    tl.on = v !== null;
    if (!timeline.bar) {
      if (!v) return;
      timelineStart(); // made when there is first something to show
    }
    timeline.bar.style.display = v ? "flex" : "none";
    const file = state.source === "file";
    timeline.live.style.display = file ? "" : "none";
    setText(timeline.title, file ? state.file.name + ":" : "replay:");
    if (!v) return;
    Object.assign(tl, v);
    setText(timeline.play, v.playing ? "pause" : "play");
    setText(timeline.speed, v.speed + "x");
    const s = timeline.slider;
    if (s.min !== String(v.first)) s.min = String(v.first);
    if (s.max !== String(v.last)) s.max = String(v.last);
    if (!timeline.dragging && s.value !== String(v.tick)) s.value = String(v.tick);
    setText(timeline.tick, "tick " + v.tick + " / " + v.last);
  }

  // One console call of the arena's replay; false (and a note) when refused.
  async function replayCall(action) {
    try {
      const res = await teacherRequest("POST", "/control/" + action);
      if (res.ok) return true;
      const text = res.status === 400 ? (await res.text()).trim().slice(0, 120) : "";
      timelineSay(text || teacherRefusal(res, "this arena does not replay"));
    } catch (e) {
      timelineSay("the arena is not reachable");
    }
    return false;
  }

  async function replayState() {
    try {
      const res = await teacherRequest("GET", "/control/state");
      return res.ok ? cleanState(await res.json()) : null;
    } catch (e) {
      return null;
    }
  }

  // A frame back or on in the arena's replay, which knows only seeks by tick.
  async function replayStep(d) {
    const v = timelineView();
    if (!v || !(await replayCall("pause"))) return;
    if (d < 0) {
      if (v.tick > v.first) await replayCall("seek?tick=" + (v.tick - 1));
      return;
    }
    // NOTE: frames need not be a tick apart (an arena without turtles
    // records none), and a seek shows the last frame at or before its
    // tick; so a step that stays put looks twice as far, a few times.
    for (let gap = 1; gap <= 4096 && v.tick + gap <= v.last; gap *= 2) {
      if (!(await replayCall("seek?tick=" + (v.tick + gap)))) return;
      await sleep(40); // the arena shows a seek at its next tick
      const st = await replayState();
      if (!st || st.tick !== v.tick) return;
    }
  }

  // What a timeline button asks for, of whichever source plays.
  async function timelineDo(what, value) {
    state.timeline.seeks += what === "seek" ? 1 : 0;
    timelineSay("");
    if (state.source === "file") {
      playerControl(what, value);
      return;
    }
    if (what === "step") await replayStep(value);
    else if (what === "seek") await replayCall("seek?tick=" + value);
    else if (what === "speed") {
      // the next click halves or doubles from this speed, not from the last poll's
      if ((await replayCall("speed?x=" + value)) && state.teacher.state) state.teacher.state.speed = value;
    } else await replayCall(what);
    timeline.livelyUntil = Date.now() + LIVELY_MS;
    if (teacher.wake) teacher.wake(); // show the change as soon as the arena does
  }

  function timelineSpeed(up) {
    const v = timelineView();
    if (!v) return;
    const x = Math.min(SPEED_MAX, Math.max(SPEED_MIN, up ? v.speed * 2 : v.speed / 2));
    if (x !== v.speed) timelineDo("speed", x);
  }

  // Seeks while the slider is dragged: one at a time, at most one every
  // SEEK_THROTTLE_MS, always ending on where the slider was let go.
  function dragSeek(tick, final) {
    const d = timeline.drag;
    d.want = tick;
    d.final = d.final || final;
    dragPump();
  }

  async function dragPump() {
    const d = timeline.drag;
    if (d.busy || d.want < 0) return;
    const wait = d.final ? 0 : SEEK_THROTTLE_MS - (Date.now() - d.last);
    if (wait > 0) {
      if (!d.timer) d.timer = setTimeout(() => {
        d.timer = null;
        dragPump();
      }, wait);
      return;
    }
    const tick = d.want;
    d.want = -1;
    d.final = false;
    d.busy = true;
    d.last = Date.now();
    try {
      await timelineDo("seek", tick);
    } finally {
      d.busy = false;
    }
    dragPump();
  }

  function timelineStart() {
    const bar = controls.panel("timeline");
    timeline.bar = bar;
    bar.style.display = "none";
    timeline.title = document.createElement("span");
    timeline.title.style.cssText = "max-width:16em;overflow:hidden;white-space:nowrap;";
    timeline.play = controlButton("play", "play or pause", () => {
      const v = timelineView();
      if (v) timelineDo(v.playing ? "pause" : "play");
    });
    const back = controlButton("<1", "one frame back", () => timelineDo("step", -1));
    const on = controlButton("1>", "one frame on", () => timelineDo("step", 1));
    const slower = controlButton("/2", "half the speed", () => timelineSpeed(false));
    const faster = controlButton("x2", "double the speed", () => timelineSpeed(true));
    timeline.speed = document.createElement("span");
    const s = document.createElement("input");
    s.type = "range";
    s.step = "1";
    s.title = "drag to any moment";
    s.style.cssText = "flex:1;min-width:160px;";
    // NOTE: while the slider is held (by the pointer or the keys) the
    // readout does not move it; the last seek is where it was let go.
    s.addEventListener("pointerdown", () => (timeline.dragging = true));
    let held = 0; // the slider's value at its last move
    s.addEventListener("input", () => {
      timeline.dragging = true;
      held = Number(s.value);
      dragSeek(held, false);
    });
    s.addEventListener("change", () => {
      timeline.dragging = false;
      dragSeek(held, true);
    });
    const letGo = () => (timeline.dragging = false);
    window.addEventListener("pointerup", letGo);
    window.addEventListener("pointercancel", letGo);
    timeline.slider = s;
    timeline.tick = document.createElement("span");
    const open = controlButton("open file", "play a recording file in this page", pickFile);
    timeline.live = controlButton("live", "back to the arena", () => window.location.reload());
    timeline.note = document.createElement("span");
    timeline.note.style.cssText = "margin-left:8px;color:#ffd080;";
    const ids = { play: timeline.play, back: back, forward: on, slower: slower, faster: faster,
      speed: timeline.speed, slider: s, tick: timeline.tick, note: timeline.note };
    for (const [k, el] of Object.entries(ids)) el.id = "qm-timeline-" + k;
    bar.append(timeline.title, timeline.play, back, on, slower, timeline.speed, faster, s,
      timeline.tick, open, timeline.live, timeline.note);
  }

  // ------------------------------------------------------ open a file
  //
  // A recording reaches the page dropped onto it, or through the hidden
  // file input (the "open file" buttons). It is read whole, checked, and
  // then played here instead of the arena's feeds.

  let fileInput = null, dropHint = null;
  let fileNote = ""; // the status line's word on the file opened last

  function pickFile() {
    if (fileInput) fileInput.click();
  }

  function fileSay(text, error) {
    if (error !== undefined) state.file.error = error;
    fileNote = text;
    setStatus(text);
    timelineSay(text);
  }

  async function openFile(file) {
    if (!file) return;
    const refuse = (why) => fileSay("cannot play " + file.name + ": " + why, why);
    if (file.size > FILE_MAX) {
      refuse("the file is too big for this page");
      return;
    }
    fileSay("reading " + file.name + "...");
    let rec;
    try {
      rec = await readRecording(new Uint8Array(await file.arrayBuffer()));
    } catch (e) {
      refuse(e.recording ? e.message : "it cannot be read");
      return;
    }
    fileSay("", "");
    Object.assign(state.file, { name: file.name, frames: rec.ticks.length, torn: rec.torn,
      loads: state.file.loads + 1 });
    state.source = "file"; // the feeds and the arena's canvas stop
    fileCanvasMake();
    if (renderer) showCanvas(fileCanvas);
    player.incoming = rec;
    if (!player.running) {
      player.running = true;
      player.lastStep = performance.now();
      playerLoop();
    }
  }

  function fileDropStart() {
    fileInput = document.createElement("input");
    fileInput.type = "file";
    fileInput.id = "qm-open-file";
    fileInput.style.display = "none";
    fileInput.addEventListener("change", () => {
      openFile(fileInput.files[0]);
      fileInput.value = ""; // the same file may be opened again
    });
    document.body.appendChild(fileInput);
    dropHint = document.createElement("div");
    dropHint.textContent = "drop a recording to play it here";
    dropHint.style.cssText = "position:fixed;inset:0;z-index:3;display:none;align-items:center;" +
      "justify-content:center;background:rgba(0,16,32,0.7);color:#90ffff;font:20px monospace;" +
      "border:3px dashed #2f6a50;pointer-events:none;";
    document.body.appendChild(dropHint);
    const hasFiles = (e) => e.dataTransfer && Array.from(e.dataTransfer.types).includes("Files");
    window.addEventListener("dragover", (e) => {
      if (!hasFiles(e)) return;
      e.preventDefault();
      e.dataTransfer.dropEffect = "copy";
      dropHint.style.display = "flex";
    });
    window.addEventListener("dragleave", (e) => {
      if (e.relatedTarget === null) dropHint.style.display = "none";
    });
    window.addEventListener("drop", (e) => {
      dropHint.style.display = "none";
      if (!hasFiles(e)) return;
      e.preventDefault();
      openFile(e.dataTransfer.files[0]);
    });
  }

  // ----------------------------------------------------------- start

  // NOTE: the page's address may carry the teacher's key; with no Referer on
  // anything the page loads from now on, it never leaves in a request.
  (function noReferrer() {
    const meta = document.createElement("meta");
    meta.name = "referrer";
    meta.content = "no-referrer";
    (document.head || document.documentElement).appendChild(meta);
  })();

  window.webGLStart = function () {
    styleScores();
    const key = teacherKeyFromPage();
    if (key !== null) teacherStart(key);
    fileDropStart();
    if (typeof window.THREE === "undefined") {
      setStatus("three.js did not load");
      return;
    }
    THREE_ = window.THREE;
    try {
      setupScene();
    } catch (e) {
      setStatus("cannot start WebGL: " + e.message);
      return;
    }
    animate();
    pollLoop();
    canvasLoop();
  };
})();
