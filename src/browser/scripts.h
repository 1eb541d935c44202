// The scripts the actions run inside the page. Each is a function expression; the caller
// applies it to its arguments written as JSON literals, so a selector or text can never break
// out of the string it is meant to be. Texts leave the page already cut, and cut on whole
// characters, so no half of a surrogate pair reaches the protocol.
#pragma once

namespace kavor::browser::scripts {

// (selector) → null, or {x, y: viewport centre; left, top: page position; w, h; label} after
// scrolling the element into the middle of the view.
inline constexpr const char* kLocate = R"JS((selector) => {
  const el = document.querySelector(selector);
  if (!el) return null;
  el.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
  const r = el.getBoundingClientRect();
  const raw = el.innerText || el.value || el.getAttribute('aria-label') || '';
  const text = Array.from(String(raw).replace(/\s+/g, ' ').trim()).slice(0, 60).join('');
  return {x: r.left + r.width / 2, y: r.top + r.height / 2, left: r.left + scrollX,
          top: r.top + scrollY, w: r.width, h: r.height,
          label: el.tagName.toLowerCase() + ' "' + text + '"'};
})JS";

// (selector) → null when missing, else whether the element (or something inside it) took the
// keyboard focus; the caret goes to the end of its value.
inline constexpr const char* kFocus = R"JS((selector) => {
  const el = document.querySelector(selector);
  if (!el) return null;
  el.scrollIntoView({block: 'center', behavior: 'instant'});
  el.focus();
  try {
    if (typeof el.value === 'string' && typeof el.setSelectionRange === 'function') {
      el.setSelectionRange(el.value.length, el.value.length);
    }
  } catch (e) {}
  const active = document.activeElement;
  return !!active && (active === el || el.contains(active));
})JS";

inline constexpr const char* kFocusedValue =
    "document.activeElement && document.activeElement.value";

// (selector, wanted) → null; {tag} for an element that is not a <select>; {options} when no
// option matches (by value, then trimmed label, then label in any case); {selected: label}
// after choosing it the way a user would (input and change events).
inline constexpr const char* kSelect = R"JS((selector, wanted) => {
  const el = document.querySelector(selector);
  if (!el) return null;
  const tag = el.tagName.toLowerCase();
  if (tag !== 'select') return {tag};
  const options = Array.from(el.options);
  const label = (o) => String(o.label || o.textContent || '').trim();
  const found = options.find((o) => o.value === wanted) ||
      options.find((o) => label(o) === wanted) ||
      options.find((o) => label(o).toLowerCase() === wanted.toLowerCase());
  if (!found) {
    return {options: options.map((o) => label(o) === o.value ? o.value : label(o) + ' (' + o.value + ')')};
  }
  el.scrollIntoView({block: 'center', behavior: 'instant'});
  el.focus();
  Object.getOwnPropertyDescriptor(HTMLSelectElement.prototype, 'value').set.call(el, found.value);
  el.dispatchEvent(new Event('input', {bubbles: true}));
  el.dispatchEvent(new Event('change', {bubbles: true}));
  return {selected: label(found)};
})JS";

// (selector) → whether the element is there and shown.
inline constexpr const char* kShown = R"JS((selector) => {
  const el = document.querySelector(selector);
  if (!el) return false;
  const r = el.getBoundingClientRect();
  const s = getComputedStyle(el);
  return r.width > 0 && r.height > 0 && s.visibility !== 'hidden' && s.display !== 'none';
})JS";

// (text) → whether the page's visible text contains it.
inline constexpr const char* kHasText =
    "(text) => !!document.body && document.body.innerText.includes(text)";

// () → what `text` reports: the visible text and the page's headings, links, buttons, inputs
// and problem images, each list at most 100 visible entries.
inline constexpr const char* kSummary = R"JS(() => {
  const cut = (s, n) => Array.from(s.length > 2 * n ? s.slice(0, 2 * n) : s).slice(0, n).join('');
  const clean = (t, n = 100) => cut(String(t || '').replace(/\s+/g, ' ').trim(), n);
  const visible = (el) => {
    const r = el.getBoundingClientRect();
    return r.width > 0 && r.height > 0 && getComputedStyle(el).visibility !== 'hidden';
  };
  const take = (sel) => Array.from(document.querySelectorAll(sel)).filter(visible).slice(0, 100);
  const labelOf = (el) => {
    const l = el.labels && el.labels[0];
    return clean(l ? l.innerText : el.getAttribute('aria-label'), 60);
  };
  const broken = (img) => img.complete && img.naturalWidth === 0 && !!(img.currentSrc || img.src);
  const text = document.body ? String(document.body.innerText || '') : '';
  return {
    text: cut(text, 100000),
    headings: take('h1,h2,h3,h4,h5,h6').map((h) => h.tagName.toLowerCase() + ' ' + clean(h.innerText)),
    links: take('a[href]').map((a) => [clean(a.innerText || a.getAttribute('aria-label') || a.title, 80),
                                       clean(a.href, 200)]),
    buttons: take('button,[role=button],input[type=submit],input[type=button]').map((b) =>
        clean(b.innerText || b.value || b.getAttribute('aria-label') || b.title, 80) +
        (b.disabled ? ' (disabled)' : '')),
    inputs: take('input:not([type=hidden]):not([type=submit]):not([type=button]),textarea,select')
        .map((i) => ({tag: i.tagName.toLowerCase(), type: clean(i.getAttribute('type')),
                      name: clean(i.name || i.id), placeholder: clean(i.placeholder),
                      label: labelOf(i)})),
    images: Array.from(document.images).filter((img) => broken(img) || !img.hasAttribute('alt'))
        .slice(0, 100).map((img) => ({src: clean(img.currentSrc || img.src, 200),
                                      broken: broken(img), noalt: !img.hasAttribute('alt')})),
  };
})JS";

inline constexpr const char* kWhereAmI = "[location.href, document.title]";
inline constexpr const char* kScrollPosition =
    "[Math.round(scrollY), innerHeight, document.documentElement.scrollHeight]";

}  // namespace kavor::browser::scripts
