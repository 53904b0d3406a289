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
    let failed = false;
    if (t.status === "fulfilled" && Array.isArray(t.value)) state.turtles = t.value; else failed = true;
    if (w.status === "fulfilled" && Array.isArray(w.value)) state.walls = w.value; else failed = true;
    if (c.status === "fulfilled" && Array.isArray(c.value)) state.coins = c.value; else failed = true;
    if (cam.status === "fulfilled" && cam.value && typeof cam.value === "object") state.camera = cam.value;
    else failed = true;
    state.polls++;
    if (failed) state.failures++;
    setStatus(failed ? "waiting for the arena..." : "");
  }

  // Polls at a steady rate without ever running two polls at once.
  async function pollLoop() {
    for (;;) {
      const started = Date.now();
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
    showCanvas(image);
    c.etag = res.headers.get("ETag") || "";
    c.missing = false;
    c.loads++;
    return CANVAS_POLL_MS;
  }

  async function canvasLoop() {
    for (;;) {
      const started = Date.now();
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
    return STATE_POLL_MS;
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
      const b = document.createElement("button");
      b.type = "button";
      b.textContent = a.action;
      b.title = a.title;
      b.dataset.action = a.action;
      b.style.cssText = "font:12px monospace;padding:2px 6px;border:1px solid #2f6a50;" +
        "border-radius:3px;background:#203040;color:#90ffff;cursor:pointer;";
      b.addEventListener("click", () => teacherAct(a, b));
      teacher.buttons.set(a.action, b);
      bar.appendChild(b);
    }
    teacher.readout = document.createElement("span");
    teacher.readout.style.cssText = "margin-left:8px;";
    teacher.note = document.createElement("span");
    teacher.note.id = "qm-teacher-note";
    teacher.note.style.cssText = "margin-left:8px;color:#ffd080;";
    bar.append(teacher.readout, teacher.note);
    teacherShow();
    teacherLoop();
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
