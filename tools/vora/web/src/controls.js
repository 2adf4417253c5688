// The controls: each feature as the library describes it (type, range,
// entries); a value the camera or library refuses is reported with the
// library's status text and message.
import { api } from './protocol.js';

// Integers a camera triggers with by writing 1: shown as buttons, as commands are.
const TRIGGERS = new Set(['TriggerSoftware', 'RGBTriggerSoftware']);

function isButton(c) {
  return c.type === 'command' || TRIGGERS.has(c.name);
}

function rangeText(c) {
  if (c.type === 'enumeration' || c.type === 'boolean' || c.type === 'string' || isButton(c)) return '';
  if (c.min === null && c.max === null) return c.unit || '';
  const step = c.inc && c.inc > 1 ? `, steps of ${c.inc}` : '';
  return `${c.min ?? ''}..${c.max ?? ''}${step}${c.unit ? ` ${c.unit}` : ''}`;
}

export class ControlsPanel {
  constructor(form, onChanged) {
    this.form = form;
    this.onChanged = onChanged;
    form.addEventListener('submit', (e) => e.preventDefault());
  }

  show(controls) {
    this.form.replaceChildren();
    for (const c of controls) this.row(c);
  }

  row(c) {
    const id = `${c.name}[${c.index}]`;
    const label = document.createElement('span');
    label.className = 'label';
    label.textContent = c.label;
    const range = document.createElement('span');
    range.className = 'range';
    range.textContent = rangeText(c);
    const output = document.createElement('output');
    output.dataset.control = id;
    let input;
    if (isButton(c)) {
      input = document.createElement('button');
      input.type = 'button';
      input.textContent = c.type === 'command' ? 'Execute' : 'Trigger';
      input.addEventListener('click', () => this.send(c, '1', output, input));
    } else if (c.type === 'enumeration' || c.type === 'boolean') {
      input = document.createElement('select');
      const entries = c.type === 'boolean' ? [{ name: 'true' }, { name: 'false' }] : c.entries;
      for (const e of entries) input.add(new Option(e.name, e.name));
      if (c.value !== null) input.value = String(c.value);
      input.addEventListener('change', () => this.send(c, input.value, output, input));
    } else if (c.type === 'string') {
      input = document.createElement('input');
      input.type = 'text';
      if (c.value !== null) input.value = c.value;
      input.addEventListener('change', () => this.send(c, input.value, output, input));
    } else {
      const whole = c.type === 'integer';
      input = document.createElement('input');
      input.type = 'number';
      if (c.min !== null) input.min = c.min;
      if (c.max !== null) input.max = c.max;
      input.step = c.inc || (whole ? 1 : 'any');
      if (c.value !== null) input.value = c.value;
      input.addEventListener('change', () => {
        const text = input.value.trim();
        const form = whole ? /^-?\d+$/ : /^-?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/;
        if (!form.test(text)) {
          output.className = 'refused';
          output.textContent = `${id}: "${input.value}" is not a ${whole ? 'whole number' : 'number'}`;
          return;
        }
        this.send(c, text, output, input);
      });
    }
    input.name = id;
    input.setAttribute('aria-label', c.label);
    const box = document.createElement('div');
    box.className = 'control';
    box.append(label, input, range, output);
    this.form.append(box);
  }

  async send(c, value, output, input) {
    const id = `${c.name}[${c.index}]`;
    output.className = '';
    output.textContent = `setting ${id} to ${value}…`;
    input.disabled = true;
    try {
      const query = new URLSearchParams({ name: c.name, index: c.index, value });
      const answer = await api(`/api/set?${query}`, { method: 'POST' });
      if (answer.refused) {
        output.className = 'refused';
        output.textContent = `${answer.refused}${answer.range ? ` (${answer.range})` : ''}`;
        return;
      }
      output.className = 'done';
      output.textContent = isButton(c) ? `${id}: ${c.type === 'command' ? 'done' : 'triggered'}`
        : `${id} = ${answer.value ?? value}`;
      if (answer.value !== null && answer.value !== undefined && input.tagName !== 'BUTTON') {
        input.value = String(answer.value);
      }
      this.onChanged(c);
    } catch (e) {
      output.className = 'refused';
      output.textContent = e.message;
    } finally {
      input.disabled = false;
    }
  }
}
