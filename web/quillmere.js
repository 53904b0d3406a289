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
  };
  window.qmViewer = state; // for the browser test and for curious people

  let THREE_ = null, renderer = null, scene = null, camera = null;
  let textures = [], wallGroup = null, coinGroup = null, turtleGroup = null;
  let wallMaterial = null, coinMaterial = null;
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
    const res = await fetch(path, { cache: "no-store" });
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
      await new Promise((r) => setTimeout(r, Math.max(10, POLL_MS - (Date.now() - started))));
    }
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

    const field = new T.Mesh(new T.PlaneGeometry(FIELD, FIELD),
      new T.MeshLambertMaterial({ color: 0x1d4a35 }));
    scene.add(field);
    const grid = new T.GridHelper(FIELD, 16, 0x2f6a50, 0x2f6a50);
    grid.rotation.x = Math.PI / 2; // the grid helper lies in x-z; the field is x-y
    grid.position.z = 0.2;
    scene.add(grid);

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

  // ----------------------------------------------------------- start

  window.webGLStart = function () {
    styleScores();
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
  };
})();
